# Cross build for Raspberry Pi OS 32-bit (armhf) on a Debian PC, with Debian's
# multiarch Qt packages; the tests run as ARM code under qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Headers, libraries and CMake packages of the target only; programs (moc, uic) of the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The programs load the multiarch C library of /lib/arm-linux-gnueabihf, the one
# the Qt packages were built against. The cross compiler's own copy under
# /usr/arm-linux-gnueabihf can be another Debian revision, and mixing the two
# (qemu-arm -L /usr/arm-linux-gnueabihf) crashes at the first thread.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

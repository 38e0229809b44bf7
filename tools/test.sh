#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   --sanitize=LIST   build with -fsanitize=LIST in its own folder (e.g. address,undefined)
#   --armhf           cross-build for Raspberry Pi OS 32-bit and run the tests under qemu-user
# Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
armhf=""
for argument in "$@"; do
    case "$argument" in
        --sanitize=*) sanitize="${argument#--sanitize=}" ;;
        --armhf) armhf=yes ;;
        *) echo "usage: $0 [--sanitize=LIST] [--armhf]" >&2; exit 2 ;;
    esac
done

build=build
options=()
if [ -n "$armhf" ]; then
    tools/deps.sh build test armhf
    build=build-armhf
    options+=(-DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake)
else
    tools/deps.sh build test
fi
[ -z "$sanitize" ] || build="$build-${sanitize//,/-}"
[ -z "${CI:-}" ] || options+=(-DECG_WERROR=ON)

cmake -S . -B "$build" -DECG_BUILD_TESTS=ON -DECG_SANITIZE="$sanitize" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
# Full unwinding, so that leaks inside Qt plugins can be told apart by module.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:fast_unwind_on_malloc=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Qt is not built for ThreadSanitizer: what its own code does between its own
# threads (through intercepted calls such as memcpy and free) is left out, since
# the locks that order it are invisible; everything our code does is checked.
# Threads that QThread::wait() never joined (see tests/support/tsanqt.cpp) are no leaks.
export TSAN_OPTIONS=${TSAN_OPTIONS:-ignore_noninstrumented_modules=1:halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0}
ctest --test-dir "$build" --output-on-failure -j2

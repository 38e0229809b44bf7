#!/usr/bin/env bash
# Builds the .deb package: the program, its menu entry and its icon.
#   --armhf   for Raspberry Pi OS 32-bit (cross-built)
# Install it on the Pi with: sudo apt install ./ecg-simulator_*_armhf.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-package
options=()
groups=(build package)
if [ "${1:-}" = "--armhf" ]; then
    build=build-package-armhf
    options+=(-DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake)
    groups+=(armhf)
elif [ $# -gt 0 ]; then
    echo "usage: $0 [--armhf]" >&2
    exit 2
fi
tools/deps.sh "${groups[@]}"
cmake -S . -B "$build" -DECG_BUILD_TESTS=OFF "${options[@]}" >/dev/null
cmake --build "$build" --target ecg-simulator -j"$(nproc)"
(cd "$build" && cpack -B packages >/dev/null)
for deb in "$build"/packages/*.deb; do
    echo "$deb"
    dpkg-deb -f "$deb" Architecture Depends
done

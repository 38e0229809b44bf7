#!/usr/bin/env bash
# Builds the Debian package from debian/, the Debian way (dpkg-buildpackage).
#   --armhf   for Raspberry Pi OS 32-bit (cross-built)
# The packages land in build-package/ (build-package-armhf/ with --armhf):
# ecg-simulator_VERSION_ARCH.deb, its debug symbols (-dbgsym) and the .changes.
# Install it on the Pi with: sudo apt install ./ecg-simulator_*_armhf.deb
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-package
options=(-b -us -uc)
groups=(build package)
if [ "${1:-}" = "--armhf" ]; then
    out=build-package-armhf
    options+=(-a armhf -Pcross,nocheck)
    groups+=(armhf)
elif [ $# -gt 0 ]; then
    echo "usage: $0 [--armhf]" >&2
    exit 2
fi
tools/deps.sh "${groups[@]}"
# dpkg-buildpackage writes the packages beside the source tree: it builds a
# copy of the tree (without build folders) in $out, so that they land there.
rm -rf "$out"
mkdir -p "$out/ecg-simulator"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$out/ecg-simulator"
(cd "$out/ecg-simulator" && dpkg-buildpackage "${options[@]}" >../build.log 2>&1) || {
    tail -40 "$out/build.log" >&2
    exit 1
}
rm -rf "$out/ecg-simulator"
ls "$out"/*.deb

#!/usr/bin/env bash
# Installs the Debian packages of the named groups (default: build), skipping
# those already there. The one list of the project's packages.
#   build       compile and run the simulator
#   test        what the tests start: a private D-Bus daemon, RealtimeKit and polkit, PyVISA, playerctl
#   screenshot  run it under a virtual X server and capture its window
#   bench       the Python loop that the benchmark compares against, the load it runs under, cyclictest,
#               python3-mne (the peer that reads the EDF+ file)
#   armhf       cross build for Raspberry Pi OS 32-bit, tests under qemu-user
#   package     .deb packages the Debian way (dpkg-buildpackage, debhelper)
#   packagecheck   what .ci/run checks them with: lintian, hardening-check, desktop-file-validate, mandoc
#   board       the emulated ARM board of tools/board.sh (with armhf)
set -euo pipefail

declare -A groups=(
    [build]="cmake g++ make qtbase5-dev libqt5charts5-dev libedf-dev libgpiod-dev qttranslations5-l10n"
    [test]="dbus-daemon dbus-bin rtkit polkitd python3 python3-pyvisa python3-pyvisa-py playerctl"
    [screenshot]="xvfb xdotool imagemagick fonts-dejavu-core"
    [bench]="python3 python3-spidev stress-ng rt-tests python3-mne"
    [armhf]="crossbuild-essential-armhf qemu-user qtbase5-dev:armhf libqt5charts5-dev:armhf libedf-dev:armhf libgpiod-dev:armhf"
    [package]="dpkg-dev debhelper"
    [packagecheck]="lintian devscripts desktop-file-utils mandoc man-db"
    [board]="qemu-system-arm device-tree-compiler cpio python3"
)

missing=()
for group in "${@:-build}"; do
    [ -n "${groups[$group]:-}" ] || { echo "deps.sh: unknown group '$group'" >&2; exit 2; }
    for package in ${groups[$group]}; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [[ " ${missing[*]}" == *:armhf* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $sudo dpkg --add-architecture armhf
fi
# An index that fails to download (a mirror in the middle of a sync, say) is
# tried again; the install is attempted whatever the last update said, since
# the indexes it needs may well be there.
for attempt in 1 2 3; do
    $sudo apt-get update -qq && break
    echo "deps.sh: apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
done
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    # One at a time, to name what cannot be had.
    failed=()
    for package in "${missing[@]}"; do
        $sudo apt-get install -y -qq --no-install-recommends "$package" >/dev/null 2>&1 || failed+=("$package")
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "deps.sh: cannot install: ${failed[*]}" >&2
        exit 1
    fi
fi

#!/usr/bin/env bash
# Installs the Debian packages the simulator needs to build, run and test,
# skipping those already there. The one list of the project's packages.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qtbase5-dev libqt5charts5-dev
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

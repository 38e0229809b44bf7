#!/usr/bin/env bash
# Installs what is missing, builds the simulator and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build >/dev/null
cmake --build build --target ecg-simulator -j"$(nproc)"
exec build/app/ecg-simulator "$@"

#!/usr/bin/env bash
# Installs what is missing, builds the simulator and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh ecg-simulator
exec build/app/ecg-simulator "$@"

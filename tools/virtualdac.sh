#!/usr/bin/env bash
# Runs the real simulator on a PC against a virtual DAC8551 instead of
# /dev/spidev0.0; every frame it sends goes to CAPTURE (CSV).
#   tools/virtualdac.sh [CAPTURE.csv]      default: capture.csv
# Turn the capture into a picture with tools/plot.sh.
set -euo pipefail
capture=$(realpath -m "${1:-capture.csv}")
cd "$(dirname "$0")/.."
tools/build.sh ecg-simulator virtualdac
echo "virtual DAC: capturing to $capture"
VIRTUALDAC_CAPTURE="$capture" LD_PRELOAD="$PWD/build/tests/libvirtualdac.so" exec build/app/ecg-simulator

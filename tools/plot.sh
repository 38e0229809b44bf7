#!/usr/bin/env bash
# Draws a virtual-DAC capture: the reconstructed output over time, with the
# source sample file below it on the same time scale.
#   tools/plot.sh CAPTURE.csv SOURCE.csv [OUTPUT.png]    default: CAPTURE with .png
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 CAPTURE.csv SOURCE.csv [OUTPUT.png]" >&2; exit 2; }
capture=$(realpath "$1")
source=$(realpath "$2")
output=$(realpath -m "${3:-${1%.csv}.png}")
cd "$(dirname "$0")/.."
tools/build.sh plotcapture >/dev/null
build/tools/plotcapture/plotcapture "$capture" "$source" "$output" 2>/dev/null
echo "wrote $output"

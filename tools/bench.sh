#!/usr/bin/env bash
# Measures the output loop against the virtual DAC beside a python3-spidev loop
# and prints one table (docs/performance.md explains the figures).
#   tools/bench.sh [--seconds N] [--warmup N] [SAMPLE_FILE]
#   tools/bench.sh --loaded [--load STRESS_NG_ARGUMENTS] [--seconds N]   the same under background load
#   tools/bench.sh --rate HZ [--loaded] [--seconds N]   the exact clock beside cyclictest and Python
#   tools/bench.sh --loading             24-hour files read by the program beside cat and python3-mne
#   tools/bench.sh --flood 100000        the headless program's output while a client floods it with queries
#   tools/bench.sh --sync [--loaded] [--seconds N]   record 100's minute, the sync pulse's delay after its frame
#   tools/bench.sh --detect              record 100's minute once, its pulses echoed as a monitor's detections: their placement, idle and loaded
#   tools/bench.sh --soak MINUTES
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh bench
tools/build.sh bench_output virtualdac ecg-simulator >/dev/null
exec build/bench/bench_output "$@"

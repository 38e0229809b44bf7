#!/usr/bin/env bash
# tools/run.sh's choice of device: the commands it would run (its dry run) and
# what it says, with the DAC's node present, absent, and the virtual DAC forced.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
failures=0

# expect NAME DEVICE "RUN.SH ARGUMENTS" EXPECTED_COMMANDS EXPECTED_MESSAGES [DISPLAY]
expect() {
    local messages commands
    messages=$(mktemp)
    commands=$(DISPLAY=${6-:0} WAYLAND_DISPLAY= ECG_RUN_DRY_RUN=1 ECG_RUN_DEVICE=$2 "$root/tools/run.sh" $3 2>"$messages")
    if [ "$commands" = "$4" ] && [ "$(cat "$messages")" = "$5" ]; then
        echo "PASS $1"
    else
        printf 'FAIL %s\n  commands: %s\n  messages: %s\n' "$1" "$commands" "$(cat "$messages")"
        failures=$((failures + 1))
    fi
    rm -f "$messages"
}

capture=$root/build/capture.csv
virtual="tools/build.sh ecg-simulator virtualdac plotcapture
build/tools/plotcapture/plotcapture --live $capture &
env VIRTUALDAC_CAPTURE=$capture LD_PRELOAD=$root/build/virtualdac/libvirtualdac.so build/app/ecg-simulator -platform offscreen
build/tools/plotcapture/plotcapture $capture $root/build/capture.png"
drawn="run.sh: the whole capture is drawn in $root/build/capture.png"

# A device node, as on the Pi (not a regular file): the simulator runs on it.
expect "device present" /dev/null "-platform offscreen" "tools/build.sh ecg-simulator
build/app/ecg-simulator -platform offscreen" ""
expect "device absent" /nonexistent/spidev0.0 "-platform offscreen" "$virtual" \
    "run.sh: /nonexistent/spidev0.0 is missing: running on the virtual DAC; its output is captured in $capture and shown live
$drawn"
expect "virtual DAC forced" /dev/null "--virtual -platform offscreen" "$virtual" \
    "run.sh: running on the virtual DAC; its output is captured in $capture and shown live
$drawn"
# No display: headless, no live view, the capture drawn off screen.
expect "headless without a display" /nonexistent/spidev0.0 "--play samples/mitbih-208-10s.csv" \
    "tools/build.sh ecg-simulator virtualdac plotcapture
env VIRTUALDAC_CAPTURE=$capture LD_PRELOAD=$root/build/virtualdac/libvirtualdac.so build/app/ecg-simulator --play samples/mitbih-208-10s.csv
env QT_QPA_PLATFORM=offscreen build/tools/plotcapture/plotcapture $capture $root/build/capture.png" \
    "run.sh: /nonexistent/spidev0.0 is missing: running on the virtual DAC; its output is captured in $capture (no display: no live view)
$drawn" ""
exit $((failures > 0))

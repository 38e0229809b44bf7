#!/usr/bin/env bash
# Installs what is missing, builds the simulator and starts it on the DAC. Where
# there is no /dev/spidev0.0 (a PC), or with --virtual, it runs the same
# simulator on the virtual DAC instead, beside a live view of the DAC's output
# when there is a display, and draws the whole capture when the simulator ends.
#   tools/run.sh [--virtual] [Qt options...]
# For its tests: ECG_RUN_DEVICE names the node to look for, and
# ECG_RUN_DRY_RUN=1 prints the commands instead of running them.
set -euo pipefail
cd "$(dirname "$0")/.."
device=${ECG_RUN_DEVICE:-/dev/spidev0.0}
dry=${ECG_RUN_DRY_RUN:-}
run() {
    if [ -n "$dry" ]; then echo "$*"; else "$@"; fi
}

virtual=""
if [ "${1:-}" = "--virtual" ]; then
    virtual=yes
    shift
fi
if [ -z "$virtual" ] && [ -e "$device" ]; then
    run tools/build.sh ecg-simulator
    run build/app/ecg-simulator "$@"
    exit
fi

capture=$PWD/build/capture.csv
# Without a display (an SSH session, --play on a PC) there is no live view, and
# the capture is drawn off screen at the end.
display=${DISPLAY:-}${WAYLAND_DISPLAY:-}
draw=(build/tools/plotcapture/plotcapture "$capture" "${capture%.csv}.png")
[ -n "$display" ] || draw=(env QT_QPA_PLATFORM=offscreen "${draw[@]}")
reason="$device is missing: "
[ -z "$virtual" ] || reason=""
shown=" and shown live"
[ -n "$display" ] || shown=" (no display: no live view)"
echo "run.sh: ${reason}running on the virtual DAC; its output is captured in $capture$shown" >&2
run tools/build.sh ecg-simulator virtualdac plotcapture
live=""
if [ -n "$display" ]; then
    live_view=(build/tools/plotcapture/plotcapture --live "$capture")
    if [ -n "$dry" ]; then
        echo "${live_view[*]} &"
    else
        : >"$capture"
        "${live_view[@]}" &
        live=$!
        trap 'kill $live 2>/dev/null || true' EXIT
    fi
fi
status=0
# Ctrl-C or a supervisor's SIGTERM stops the simulator, which ends on its own;
# the script goes on to draw what it sent.
trap : INT TERM
run env VIRTUALDAC_CAPTURE="$capture" LD_PRELOAD="$PWD/build/virtualdac/libvirtualdac.so" \
    build/app/ecg-simulator "$@" || status=$?
[ -z "$live" ] || { kill "$live" 2>/dev/null; wait "$live" 2>/dev/null; } || true
if run "${draw[@]}"; then
    echo "run.sh: the whole capture is drawn in ${capture%.csv}.png" >&2
fi
exit $status

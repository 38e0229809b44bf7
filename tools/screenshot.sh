#!/usr/bin/env bash
# Writes docs/screenshot.png: the real simulator in a virtual X server, against
# the spidev stand-in, after choosing the recorded sample file in its dialog.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh build screenshot
cmake -S . -B build >/dev/null
cmake --build build --target ecg-simulator fakespidev_preload -j"$(nproc)"

sample=$(readlink -f ../shared/samples/mitbih-208-10s.csv)
export DISPLAY=:${SCREENSHOT_DISPLAY:-97}
Xvfb "$DISPLAY" -screen 0 1303x666x24 -nolisten tcp &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

LD_PRELOAD=$PWD/build/tests/libfakespidev_preload.so build/app/ecg-simulator &
app=$!
xdotool search --sync --name '^Dialog$' >/dev/null
# Places of the buttons in the window's fixed layout, at (0, 0) without a window manager.
xdotool mousemove 522 119 click 1
xdotool search --sync --name '^Ouvrir un fichier CSV$' >/dev/null
xdotool type --delay 5 "$sample"
xdotool key Return
sleep 2
mkdir -p docs
import -window root docs/screenshot.png
xdotool mousemove 805 159 click 1
wait $app
echo "wrote docs/screenshot.png"

#!/usr/bin/env bash
# Makes the README's pictures from the recorded sample file, with the real
# simulator in a virtual X server against the virtual DAC:
#   docs/screenshot.png   the window after choosing the file
#   docs/virtual-dac.png  what the DAC output during 8 s of simulation
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh screenshot
tools/build.sh ecg-simulator virtualdac plotcapture

sample=$(readlink -f ../shared/samples/mitbih-208-10s.csv)
capture=$(mktemp --suffix=.csv)
export DISPLAY=:${PICTURES_DISPLAY:-97}
Xvfb "$DISPLAY" -screen 0 1303x666x24 -nolisten tcp &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -f "$capture"' EXIT
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

VIRTUALDAC_CAPTURE=$capture LD_PRELOAD=$PWD/build/tests/libvirtualdac.so build/app/ecg-simulator &
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
xdotool mousemove 637 75 click 1   # Lancer la simulation
sleep 8
xdotool mousemove 637 75 click 1   # Stopper la simulation
xdotool mousemove 805 159 click 1  # Quitter
wait $app
build/tools/plotcapture/plotcapture "$capture" "$sample" docs/virtual-dac.png 2>/dev/null
echo "wrote docs/screenshot.png and docs/virtual-dac.png"

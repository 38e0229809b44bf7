#!/usr/bin/env bash
# Makes the README's pictures from the recorded sample file, running
# tools/run.sh --virtual in a virtual X server and operating it as a user would:
#   docs/screenshot.png   the window after choosing the file
#   docs/live-view.png    the window and the live view of the virtual DAC, streaming
#   docs/virtual-dac.png  what the DAC output during 8 s of simulation, over the source
#   docs/screenshot-800x480.png  the window on the Raspberry Pi touch display's 800 x 480
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh screenshot
tools/build.sh ecg-simulator virtualdac plotcapture

sample=$(readlink -f samples/mitbih-208-10s.csv)
log=$(mktemp)
export DISPLAY=:${PICTURES_DISPLAY:-97}
# The simulator's fixed 1303 x 666 window, and the live view beside it.
Xvfb "$DISPLAY" -screen 0 2203x666x24 -nolisten tcp &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

tools/run.sh --virtual >"$log" 2>&1 &
runner=$!
# Without a window manager, the windows are placed here: side by side.
xdotool windowmove "$(xdotool search --sync --name '^DAC virtuel$' | head -1)" 1303 0
xdotool windowmove "$(xdotool search --sync --name '^Dialog$' | head -1)" 0 0
# Places of the buttons in the window's fixed layout.
xdotool mousemove 522 119 click 1
xdotool search --sync --name '^Ouvrir un fichier CSV$' >/dev/null
xdotool type --delay 5 "$sample"
xdotool key Return
sleep 2
mkdir -p docs
import -window root -crop 1303x666+0+0 +repage docs/screenshot.png
xdotool mousemove 637 75 click 1   # Lancer la simulation
sleep 8
import -window root docs/live-view.png
xdotool mousemove 637 75 click 1   # Stopper la simulation
xdotool mousemove 805 159 click 1  # Quitter
wait $runner
cat "$log"
build/tools/plotcapture/plotcapture build/capture.csv "$sample" docs/virtual-dac.png 2>/dev/null
kill $xvfb

# The touch display: the window takes the screen, its header centred.
Xvfb "$DISPLAY" -screen 0 800x480x24 -nolisten tcp &
xvfb=$!
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
tools/run.sh --virtual >"$log" 2>&1 &
runner=$!
window=$(xdotool search --sync --name '^Dialog$' | head -1)
xdotool windowraise "$window"
xdotool mousemove 284 119 click 1  # Sélectionner un fichier
xdotool search --sync --name '^Ouvrir un fichier CSV$' >/dev/null
xdotool type --delay 5 "$sample"
xdotool key Return
sleep 2
import -window root docs/screenshot-800x480.png
xdotool mousemove 567 159 click 1  # Quitter
wait $runner
echo "wrote docs/screenshot.png, docs/live-view.png, docs/virtual-dac.png and docs/screenshot-800x480.png"

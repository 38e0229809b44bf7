#!/usr/bin/env bash
# Makes the README's pictures from the recorded sample file, running
# tools/run.sh --virtual in a virtual X server and operating it as a user would:
#   docs/screenshot.png   the window playing the first minute of MIT-BIH record 100
#   docs/screenshot-zoom10s.png  the same, the chart zoomed to 10 s
#   docs/live-view.png    the window and the live view of the virtual DAC, streaming
#   docs/screenshot-800x480.png  the window on the Raspberry Pi touch display's 800 x 480
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh screenshot
tools/build.sh ecg-simulator virtualdac plotcapture

sample=$(readlink -f samples/mitdb_100_1min.hea)
log=$(mktemp)
export DISPLAY=:${PICTURES_DISPLAY:-97}
# The simulator's fixed 1303 x 666 window at the top left, and the live view
# beside it: each places itself.
Xvfb "$DISPLAY" -screen 0 2203x666x24 -nolisten tcp &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

tools/run.sh --virtual >"$log" 2>&1 &
runner=$!
xdotool search --sync --name '^DAC virtuel$' >/dev/null
xdotool search --sync --name '^Dialog$' >/dev/null
# Places of the buttons in the window's fixed layout.
choose() { # x y of "Sélectionner un fichier"
    xdotool mousemove "$1" "$2" click 1
    xdotool search --sync --name '^Ouvrir un fichier CSV$' >/dev/null
    xdotool type --delay 5 "$sample"
    xdotool key Return
    # The record's two signals: the first, MLII, proposed.
    xdotool search --sync --name '^Choisir un signal$' >/dev/null
    xdotool key Return
}
choose 522 119
xdotool mousemove 637 75 click 1   # Lancer la simulation
sleep 4
mkdir -p docs
import -window root -crop 1303x666+0+0 +repage docs/screenshot.png
xdotool mousemove 844 246 click 1  # 10 s
sleep 2
import -window root -crop 1303x666+0+0 +repage docs/screenshot-zoom10s.png
xdotool mousemove 1252 246 click 1  # Tout
sleep 4
import -window root docs/live-view.png
xdotool mousemove 637 75 click 1   # Stopper la simulation
xdotool mousemove 805 159 click 1  # Quitter
wait $runner
cat "$log"
kill $xvfb
wait $xvfb 2>/dev/null || true

# The touch display: the window takes the screen, its header centred; the live
# view, folded into a tab at its top left, opens over it at the first frame.
Xvfb "$DISPLAY" -screen 0 800x480x24 -nolisten tcp &
xvfb=$!
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
tools/run.sh --virtual >"$log" 2>&1 &
runner=$!
window=$(xdotool search --sync --name '^Dialog$' | head -1)
xdotool windowraise "$window"
# The same buttons, a finger high.
choose 284 116
xdotool mousemove 400 62 click 1   # Lancer la simulation
sleep 4
xdotool mousemove 720 24 click 1   # Retour au simulateur, on the live view
sleep 1
import -window root docs/screenshot-800x480.png
xdotool mousemove 400 62 click 1   # Stopper la simulation
xdotool mousemove 567 170 click 1  # Quitter
wait $runner
echo "wrote docs/screenshot.png, docs/screenshot-zoom10s.png, docs/live-view.png and docs/screenshot-800x480.png"

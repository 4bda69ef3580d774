#!/usr/bin/env bash
# Takes the picture of the program's window shown at the top of the README: the real program,
# on a private X server under a small window manager, three seconds after it starts.
#   tools/take_window_picture.sh PROGRAM OUTPUT.png
set -euo pipefail
program=$1
output=$2
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start within 10 s" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"
jwm >/dev/null 2>&1 &
pids=($! "${pids[@]}")
"$program" >/dev/null &
pids=($! "${pids[@]}")
sleep 3
window=$(xdotool search --name '^Notre premi' | head -n 1)
[ -n "$window" ] || { echo "no window appeared within 3 s" >&2; exit 1; }
# The window manager's frame around the client area, title bar included.
frame=$(xwininfo -id "$window" -tree | awk '/Parent window id/ { print $4 }')
read -r x y width height < <(xwininfo -id "$frame" |
    awk '/Absolute upper-left X/ { x = $4 } /Absolute upper-left Y/ { y = $4 }
         /Width/ { w = $2 } /Height/ { h = $2 } END { print x, y, w, h }')
xwd -root -silent | convert xwd:- -crop "${width}x${height}+${x}+${y}" +repage -strip "$output"

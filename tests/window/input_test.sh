#!/usr/bin/env bash
# End-to-end tests of the input that windows take, on a private X server (Xvfb): the Linux
# build, and the Windows build under Wine where named.
#
#   input_test.sh viewer VIEWER
#       The viewer's window turns the rhinoceros until Space pauses it; a drag with the left
#       button turns the paused view; P saves the frame as a PNG and names it; Escape ends the
#       viewer with status 0.
#   input_test.sh keys PATTERN_WINDOW SEND_CLOSE
#       The tests' pattern window (pattern_window.cpp) tells the keys [ ] e f 1 2 3 by name,
#       Shift with a key and through a drag with the right button, the middle button from the
#       left, and the wheel; a close request ends it with status 0.
set -euo pipefail
source "$(dirname "$0")/window_steps.sh"

# A digest of the window's pixels.
window_digest() { xwd -id "$window" -silent | md5sum; }

has_viewer_window() {
    program_runs
    window=$(xdotool search --name '^pointcloud-view' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ]
}

window_changes() { [ "$(window_digest)" != "$1" ]; }

# Two looks at the window 0.3 s apart that see the same pixels.
window_stands_still() {
    program_runs
    local first
    first=$(window_digest)
    sleep 0.3
    [ "$(window_digest)" = "$first" ]
}

has_saved_picture() { grep -q $'^saved rhino-1.png\r\\?$' "$work/out" && [ -s "$work/rhino-1.png" ]; }

viewer() {
    start_xvfb
    [[ $program == *.exe ]] && prepare_wine
    local -a command=("$program")
    [[ $program == *.exe ]] && command=(wine "$program")
    clear_output
    (cd "$work" && exec "${command[@]}" --scene rhino >"$work/out" 2>"$work/err") &
    program_pid=$!
    wait_for 20 "the viewer's window" has_viewer_window
    xdotool windowfocus --sync "$window" 2>/dev/null || true

    local before
    before=$(window_digest)
    wait_for 10 "the view to turn by itself" window_changes "$before"
    xdotool key --window "$window" space
    wait_for 10 "Space to pause the turn" window_stands_still

    before=$(window_digest)
    xdotool mousemove --window "$window" 400 400 mousedown 1 mousemove --window "$window" 600 350 \
        mouseup 1
    wait_for 10 "the drag to turn the paused view" window_changes "$before"
    wait_for 10 "the view to stand still after the drag" window_stands_still

    xdotool key --window "$window" p
    wait_for 10 "P to save rhino-1.png" has_saved_picture
    # The window may be gone before the key's release reaches it.
    xdotool key --window "$window" Escape 2>/dev/null || true
    wait_for_end "Escape"
    [ "$status" -eq 0 ] || fail "ended with status $status after Escape"
    [ ! -s "$work/err" ] || fail "the viewer wrote to standard error"
    echo "turned, paused, dragged, saved and ended: $(head -n 1 "$work/out")"
}

has_pattern_window() {
    program_runs
    window=$(xdotool search --name '^pattern_window$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ]
}

# The Windows build ends its lines with CR LF.
has_line() {
    program_runs
    grep -q "^$1"$'\r\\?$' "$work/out"
}

# The lines the window prints for the input sent to it, in this order.
wanted_lines=(
    'key left_bracket' 'key right_bracket' 'key e' 'key f' 'key digit_1' 'key digit_2'
    'key digit_3' 'key e shift'
    'button_down right 100 100 shift' 'pointer_moved 150 120 shift' 'button_up right 150 120 shift'
    'button_down middle 200 150' 'button_up middle 200 150' 'wheel 1'
)

keys() {
    local send_close=$3 line
    start_xvfb
    [[ $program == *.exe ]] && prepare_wine
    program_arguments=(400 300)
    start_program
    wait_for 20 "the window to appear" has_pattern_window
    wait_for 10 "the window to show the pattern" has_line 'shown 400 x 300 in 400 x 300'
    xdotool windowmove --sync "$window" 0 0
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    # Through the X server's own input (XTEST), as from a keyboard and a mouse.
    xdotool key bracketleft bracketright e f 1 2 3 shift+e
    xdotool mousemove --window "$window" 100 100 keydown shift mousedown 3
    xdotool mousemove --window "$window" 150 120 mouseup 3 keyup shift
    xdotool mousemove --window "$window" 200 150 mousedown 2 mouseup 2 click 4
    for line in "${wanted_lines[@]}"; do
        wait_for 10 "the line '$line'" has_line "$line"
    done
    # In the order sent.
    local order
    order=$(tr -d '' <"$work/out" | grep -Fxn -f <(printf '%s
' "${wanted_lines[@]}") |
        cut -d: -f2- | awk '!seen[$0]++')
    [ "$order" = "$(printf '%s
' "${wanted_lines[@]}")" ] || fail "the input came in another order"
    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the window wrote to standard error"
    echo "keys, Shift, the right and middle buttons and the wheel told: ${#wanted_lines[@]} lines"
}

case $mode in
    viewer) viewer ;;
    keys) keys "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

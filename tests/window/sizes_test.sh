#!/usr/bin/env bash
# End-to-end tests of frames of any size in a window that the user resizes and maximises, on a
# private X server (Xvfb) under a window manager: the tests' pattern window (pattern_window.cpp),
# the Linux build, and the Windows build under Wine where named.
#
#   sizes_test.sh frames PATTERN_WINDOW MATCH_FRAME SEND_CLOSE [DEPTH [unshared]]
#       On a display of DEPTH bits (24 unless given; with `unshared`, without shared memory)
#       the window made at 637 x 479 shows the pattern at that size, and resized to 803 x 601
#       at the new size (odd sizes: rows that start at every alignment). Frames 100 pixels
#       larger are cut at the window's edges, frames 100 pixels smaller have black beyond them,
#       and so they stay when the window is maximised. Covered and uncovered while the program
#       waits for input, the window shows its frame again without the program drawing it anew;
#       meanwhile the program uses next to no processor. A close request ends it with status 0.
set -euo pipefail
source "$(dirname "$0")/window_steps.sh"

has_pattern_window() {
    program_runs
    window=$(xdotool search --name '^pattern_window$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ]
}

# The Windows build ends its lines with CR LF.
shown_line_count() { grep -c $'^shown .*\r\\?$' "$work/out" || true; }

has_shown() {
    program_runs
    grep -q "^shown $1 x $2 in $3 x $4"$'\r\\?$' "$work/out"
}

shows_pattern() {
    program_runs
    "$match_frame" --pattern "$1" "$2" "$window" >"$work/match" 2>&1
}

# Waits for the program to say that it has shown the pattern at `width` x `height` in a client
# area of `client_width` x `client_height`, then for the window to show it.
expect_pattern() {
    local width=$1 height=$2 client_width=$3 client_height=$4 what=$5
    wait_for 10 "the program to show the pattern at $width x $height in $client_width x $client_height, $what" \
        has_shown "$width" "$height" "$client_width" "$client_height"
    wait_for 30 "the window to show the pattern at $width x $height, $what" \
        shows_pattern "$width" "$height"
}

window_size() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    echo "$WIDTH $HEIGHT"
}

is_larger_than() {
    local width height
    read -r width height < <(window_size)
    [ "$width" -gt "$1" ] && [ "$height" -gt "$2" ]
}

has_cover() {
    [ -n "$(xdotool search --onlyvisible --name '^xlogo$' 2>/dev/null | head -n 1 || true)" ]
}

# The processor time the program has used, in clock ticks.
processor_ticks() { awk '{ print $14 + $15 }' "/proc/$program_pid/stat"; }

frames() {
    match_frame=$3
    local send_close=$4 depth=${5:-24} sharing=${6:-} width height shown ticks
    if [ "$sharing" = unshared ]; then
        start_xvfb "$depth" -extension MIT-SHM
    else
        start_xvfb "$depth"
    fi
    start_window_manager
    [[ $program == *.exe ]] && prepare_wine
    program_arguments=(637 479)
    start_program
    wait_for 20 "the window to appear" has_pattern_window
    expect_pattern 637 479 637 479 "as made"

    xdotool windowsize "$window" 803 601
    expect_pattern 803 601 803 601 "resized"
    xdotool windowactivate --sync "$window"
    xdotool key bracketright
    expect_pattern 903 701 803 601 "larger than the window"
    xdotool key bracketleft bracketleft
    expect_pattern 703 501 803 601 "smaller than the window"

    wmctrl -i -r "$window" -b add,maximized_vert,maximized_horz
    wait_for 10 "the window to be maximised" is_larger_than 803 601
    read -r width height < <(window_size)
    expect_pattern $((width - 100)) $((height - 100)) "$width" "$height" "maximised"

    shown=$(shown_line_count)
    xlogo -geometry 400x300+50+50 2>/dev/null &
    cover_pid=$!
    wait_for 10 "the covering window" has_cover
    end_process "$cover_pid"
    cover_pid=
    wait_for 30 "the uncovered window to show its frame again" \
        shows_pattern $((width - 100)) $((height - 100))
    [ "$(shown_line_count)" -eq "$shown" ] || fail "the program drew its frame anew when uncovered"

    ticks=$(processor_ticks)
    sleep 1
    ticks=$(($(processor_ticks) - ticks))
    [ "$ticks" -le 5 ] || fail "waiting for input for a second, the program used $ticks ticks of processor"

    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "at $depth bits${sharing:+, $sharing}: the pattern at 637 x 479, 803 x 601, larger and" \
        "smaller, maximised to $width x $height, again when uncovered; $ticks ticks of processor" \
        "in a second of waiting"
}

case $mode in
    frames) frames "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

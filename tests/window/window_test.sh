#!/usr/bin/env bash
# End-to-end tests of the program's window, on a private X server (Xvfb).
#
#   window_test.sh shows-frames PROGRAM MATCH_FRAME SEND_CLOSE
#       The window appears with its title, shows frames of the animation exactly in its
#       client area while FPS lines arrive, and a close request ends the program with 0.
#   window_test.sh no-display PROGRAM
#       With no display the program says so in one line on standard error and keeps
#       rendering and printing FPS lines.
#   window_test.sh window-faults PROGRAM MATCH_FRAME
#       Under a window manager the window is resized larger and smaller, minimised and
#       restored, covered and uncovered: the program runs on, and each time the client area
#       shows a frame 1:1 from its top-left corner and black beyond it.
#   window_test.sh display-lost PROGRAM
#       When the X server ends under it, the program ends with status 1 and one line on
#       standard error.
#   window_test.sh soak PROGRAM SEND_CLOSE FRAMES
#   window_test.sh soak-headless PROGRAM FRAMES
#       Runs the program, with its window or without a display, for FRAMES frames: FPS lines
#       keep coming, the resident memory does not grow after the first second, and (with the
#       window) a close request ends it with status 0.
#
# A PROGRAM ending in .exe is the Windows build and runs under Wine.
set -euo pipefail

mode=$1
program=$2
title='Notre première fenêtre'
work=$(mktemp -d)
xvfb_pid=
status=
wm_pid=
cover_pid=
program_pid=

cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
    [ -n "$cover_pid" ] && kill "$cover_pid" 2>/dev/null || true
    [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null || true
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- standard output (last lines)" >&2
    tail -n 5 "$work/out" >&2 || true
    echo "--- standard error" >&2
    cat "$work/err" >&2 || true
    exit 1
}

start_xvfb() {
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    [ -s "$work/display" ] || fail "Xvfb did not start"
    export DISPLAY=":$(cat "$work/display")"
}

start_window_manager() {
    jwm >/dev/null 2>&1 &
    wm_pid=$!
    for _ in $(seq 100); do
        wmctrl -m >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fail "the window manager did not start"
}

# A fresh Wine prefix, warmed up so that the program's run does not wait for Wine's
# background services.
prepare_wine() {
    export WINEPREFIX="$work/wine" WINEDEBUG=-all
    mkdir "$WINEPREFIX"
    wineserver -p
    wine cmd /c exit >/dev/null 2>&1 || true
}

start_program() {
    if [[ $program == *.exe ]]; then
        wine "$program" >"$work/out" 2>"$work/err" &
    else
        "$program" >"$work/out" 2>"$work/err" &
    fi
    program_pid=$!
}

# The Windows build ends its lines with CR LF.
fps_line_count() { grep -c $'^FPS = [0-9]*\r\\?$' "$work/out" || true; }

wait_for_fps_lines() {
    local wanted=$1
    for _ in $(seq 300); do
        [ "$(fps_line_count)" -ge "$wanted" ] && return 0
        kill -0 "$program_pid" 2>/dev/null || fail "the program ended"
        sleep 0.1
    done
    fail "fewer than $wanted FPS lines"
}

# Waits for `wanted` more FPS lines than there are now.
wait_for_more_fps_lines() {
    wait_for_fps_lines $(($(fps_line_count) + $1))
}

# Waits up to 10 s for the program to end after `what` and leaves its exit status in `status`.
wait_for_end() {
    local what=$1
    for _ in $(seq 100); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$program_pid" 2>/dev/null && fail "still running 10 s after $what"
    status=0
    wait "$program_pid" || status=$?
    program_pid=
}

# Asks the window to close, as a window manager's close button does; the program must end
# with status 0.
close_window() {
    local send_close=$1
    "$send_close" "$window"
    wait_for_end "the close request"
    [ "$status" -eq 0 ] || fail "ended with status $status after the close request"
}

# The window's id: the top-level window whose name starts like the title.
find_window() {
    for _ in $(seq 200); do
        window=$(xdotool search --name '^Notre premi' 2>/dev/null | head -n 1 || true)
        [ -n "$window" ] && return 0
        kill -0 "$program_pid" 2>/dev/null || fail "the program ended"
        sleep 0.1
    done
    fail "no window appeared"
}

shows_frames() {
    local match_frame=$3 send_close=$4
    start_xvfb
    [[ $program == *.exe ]] && prepare_wine
    start_program
    find_window
    wait_for_fps_lines 30

    local shown
    shown=$(xprop -id "$window" _NET_WM_NAME)
    [ "$shown" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] || fail "title is $shown"

    # Screenshots until one shows a whole frame: a few, in case one is taken mid-update.
    local matched=
    for attempt in 1 2 3; do
        xwd -id "$window" -silent | convert xwd:- "$work/shot.ppm"
        if "$match_frame" "$work/shot.ppm"; then
            matched=yes
            break
        fi
        echo "screenshot $attempt shows no whole frame" >&2
    done
    [ -n "$matched" ] || { cp "$work/shot.ppm" ./window_shot.ppm; fail "the window shows no frame (see window_shot.ppm)"; }

    close_window "$send_close"
    echo "shown, matched and closed; $(fps_line_count) FPS lines, last: $(tail -n 1 "$work/out")"
}

no_display() {
    unset DISPLAY WAYLAND_DISPLAY
    # A private runtime directory keeps the Wayland client library from complaining on
    # standard error about a missing one: only the program's own line is left there.
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    [[ $program == *.exe ]] && prepare_wine
    start_program
    wait_for_fps_lines 100
    local before
    before=$(fps_line_count)
    sleep 1
    [ "$(fps_line_count)" -gt "$before" ] || fail "FPS lines stopped"
    kill "$program_pid"
    wait "$program_pid" 2>/dev/null || true
    program_pid=
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "standard error holds other than one line"
    grep -q '^pointcloud: no window' "$work/err" || fail "no word of the missing window"
    echo "rendered without a display: $(fps_line_count) FPS lines; $(cat "$work/err")"
}

# Waits for frames drawn after the last change, then checks the client area from its top-left
# corner; a few screenshots, in case one is taken mid-update.
expect_frame_at_top_left() {
    local what=$1
    wait_for_more_fps_lines 10
    for _ in 1 2 3; do
        xwd -id "$window" -silent | convert xwd:- "$work/shot.ppm"
        if "$match_frame" --top-left "$work/shot.ppm"; then
            return 0
        fi
    done
    cp "$work/shot.ppm" ./window_shot.ppm
    fail "$what: the window shows no frame from its corner (see window_shot.ppm)"
}

resize_to() {
    xdotool windowsize "$window" "$1" "$2"
}

window_faults() {
    match_frame=$3
    start_xvfb
    start_window_manager
    [[ $program == *.exe ]] && prepare_wine
    start_program
    find_window
    wait_for_fps_lines 30
    xdotool windowmove "$window" 0 0

    resize_to 1200 900
    expect_frame_at_top_left "made larger"
    resize_to 640 480
    expect_frame_at_top_left "made smaller"
    # A burst of sizes, down to a single pixel, faster than the frames come.
    for size in "1 1" "1250 990" "1023 799" "1025 801" "2 700" "1100 3" "300 200"; do
        resize_to $size
        sleep 0.01
    done
    resize_to 1100 850
    expect_frame_at_top_left "after a burst of sizes"
    resize_to 1024 800

    xdotool windowminimize "$window"
    wait_for_more_fps_lines 100
    xwininfo -id "$window" | grep -q 'IsUnMapped' || fail "the window did not minimise"
    wmctrl -i -a "$window"
    expect_frame_at_top_left "restored"

    xlogo -geometry 700x500+100+100 2>/dev/null &
    cover_pid=$!
    local cover=
    for _ in $(seq 100); do
        cover=$(xdotool search --onlyvisible --name '^xlogo$' 2>/dev/null | head -n 1 || true)
        [ -n "$cover" ] && break
        sleep 0.1
    done
    [ -n "$cover" ] || fail "the covering window did not appear"
    wait_for_more_fps_lines 100
    kill "$cover_pid"
    wait "$cover_pid" 2>/dev/null || true
    cover_pid=
    expect_frame_at_top_left "uncovered"

    kill -0 "$program_pid" 2>/dev/null || fail "the program ended"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "resized, minimised, restored, covered and uncovered; $(fps_line_count) FPS lines"
}

display_lost() {
    start_xvfb
    start_program
    find_window
    wait_for_fps_lines 30
    kill "$xvfb_pid"
    xvfb_pid=
    wait_for_end "the display ended"
    [ "$status" -eq 1 ] || fail "ended with status $status when the display ended"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "standard error holds other than one line"
    grep -q '^pointcloud: lost the connection to the display' "$work/err" ||
        fail "no word of the lost display"
    echo "display lost: status $status; $(cat "$work/err")"
}

resident_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$program_pid/status"; }

# Runs until `frames` FPS lines have come, checking twice a second that the program lives and
# that its resident memory stays at what it was one second after the first frame.
soak_for() {
    local frames=$1 allowed_growth_kb=1024
    wait_for_fps_lines 1
    sleep 1
    local start_kb start_lines seen_lines now_lines peak_kb now_kb started=$SECONDS stalls=0
    start_kb=$(resident_kb)
    start_lines=$(fps_line_count)
    seen_lines=$start_lines
    peak_kb=$start_kb
    while [ "$seen_lines" -lt "$frames" ]; do
        sleep 0.5
        kill -0 "$program_pid" 2>/dev/null || fail "the program ended"
        now_kb=$(resident_kb)
        [ "$now_kb" -gt "$peak_kb" ] && peak_kb=$now_kb
        now_lines=$(fps_line_count)
        if [ "$now_lines" -gt "$seen_lines" ]; then stalls=0; else stalls=$((stalls + 1)); fi
        [ "$stalls" -lt 10 ] || fail "no FPS line for 5 s"
        seen_lines=$now_lines
    done
    local seconds=$((SECONDS - started))
    local last_line
    last_line=$(tail -n 1 "$work/out")
    [[ $last_line =~ ^FPS\ =\ [1-9][0-9]*$'\r'?$ ]] || fail "last line: $last_line"
    echo "soaked: $seen_lines frames, $((seen_lines - start_lines)) of them in $seconds s after" \
        "the first second; resident memory ${start_kb} kB then, ${now_kb} kB at the end," \
        "${peak_kb} kB at most; last line: $last_line"
    [ $((peak_kb - start_kb)) -le "$allowed_growth_kb" ] ||
        fail "resident memory grew from $start_kb kB to $peak_kb kB"
}

soak() {
    local send_close=$3 frames=$4
    start_xvfb
    start_program
    find_window
    soak_for "$frames"
    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
}

soak_headless() {
    local frames=$3
    unset DISPLAY WAYLAND_DISPLAY
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    start_program
    soak_for "$frames"
    kill "$program_pid"
    wait "$program_pid" 2>/dev/null || true
    program_pid=
}

case $mode in
    shows-frames) shows_frames "$@" ;;
    no-display) no_display ;;
    window-faults) window_faults "$@" ;;
    display-lost) display_lost ;;
    soak) soak "$@" ;;
    soak-headless) soak_headless "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

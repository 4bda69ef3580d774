#!/usr/bin/env bash
# End-to-end tests of the program's window, on a private X server (Xvfb).
#
#   window_test.sh shows-frames PROGRAM MATCH_FRAME SEND_CLOSE
#       The window appears with its title, shows frames of the animation exactly in its
#       client area while FPS lines arrive, and a close request ends the program with 0.
#   window_test.sh no-display PROGRAM
#       With no display the program says so in one line on standard error and keeps
#       rendering and printing FPS lines.
#
# A PROGRAM ending in .exe is the Windows build and runs under Wine.
set -euo pipefail

mode=$1
program=$2
title='Notre première fenêtre'
work=$(mktemp -d)
xvfb_pid=
program_pid=

cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
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

    "$send_close" "$window"
    for _ in $(seq 100); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$program_pid" 2>/dev/null && fail "still running 10 s after the close request"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=
    [ "$status" -eq 0 ] || fail "ended with status $status after the close request"
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

case $mode in
    shows-frames) shows_frames "$@" ;;
    no-display) no_display ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

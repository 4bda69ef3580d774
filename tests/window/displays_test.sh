#!/usr/bin/env bash
# End-to-end tests of the program's window on a private X server (Xvfb): the frame at every
# depth, with its output closed, with no display, through the window's faults, when the display
# goes away, and under Wayland. The Linux build, and the Windows build under Wine where named.
#
#   displays_test.sh shows-frames PROGRAM MATCH_FRAME SEND_CLOSE [DEPTH [HOW [FOREIGN_SEGMENTS]]]
#       On a display of DEPTH bits (24 unless given) the window appears with its title, shows
#       a frame of the animation in its client area while FPS lines arrive (exactly where the
#       display holds 8 bits a channel, its lit pixels where it holds fewer), and a close
#       request ends the program with 0. At 32 bits the display is of 24 and the window of a
#       32-bit visual: every pixel must be opaque, beyond the frame too. HOW is `unshared`: the
#       display offers no shared memory; or `remote` (over TCP) or `container` (through the
#       Unix socket), with the program and the display in IPC namespaces of their own, where the
#       ids of the program's segments name FOREIGN_SEGMENTS' (skipped where namespaces cannot be
#       made): the server must attach none of them.
#   displays_test.sh closed-output PROGRAM MATCH_FRAME SEND_CLOSE
#       Started with standard output closed, and then with standard error closed too, the
#       program shows frames and a close request ends it with 0.
#   displays_test.sh no-display PROGRAM
#       With no display the program says so in one line on standard error and keeps
#       rendering and printing FPS lines.
#   displays_test.sh window-faults PROGRAM MATCH_FRAME
#       Under a window manager the window is resized larger and smaller, minimised and
#       restored, covered and uncovered: the program runs on, and each time the client area
#       shows a frame 1:1 from its top-left corner and black beyond it.
#   displays_test.sh display-lost PROGRAM
#       When the X server ends under it, the program ends with status 1 and one line on
#       standard error.
#   displays_test.sh wayland PROGRAM MATCH_FRAME
#       Under a Wayland compositor (nested in Xvfb) the window shows a frame of the animation
#       exactly, and SIGTERM ends the program with 0; when the compositor ends under it, the
#       program ends with status 1 and one line of its own on standard error.
set -euo pipefail
source "$(dirname "$0")/window_steps.sh"

skip() {
    echo "SKIP: $*"
    exit 77
}

# Segments of shared memory, readable by anyone, at the ids that the program gets for its first
# ones in an IPC namespace of its own: they stand for a remote server's machine, or the host
# outside the program's container.
foreign_segment_count=4

# Runs Xvfb in an IPC namespace of its own that holds the foreign segments, and the program in
# another; `remote` reaches the display over TCP, as through SSH, `container` through its Unix
# socket, as from a container that shares the host's X socket but not its IPC.
start_xvfb_apart() {
    local depth=$1 how=$2 foreign_segments=$3
    unshare --ipc true 2>/dev/null || skip "IPC namespaces cannot be made here (unshare --ipc)"
    xvfb_wrapper=(unshare --ipc sh -c '"$0" "$1" 4194304 >/dev/null && shift && exec "$@"'
        "$foreign_segments" "$foreign_segment_count")
    program_wrapper=(unshare --ipc)
    if [ "$how" = remote ]; then
        start_xvfb "$depth" -listen tcp
        program_display=127.0.0.1$DISPLAY
    else
        start_xvfb "$depth"
    fi
}

# How many of the foreign segments the X server has attached: any it shows other memory.
attached_foreign_segments() {
    nsenter --ipc="/proc/$xvfb_pid/ns/ipc" ipcs -m | awk '/^0x/ && $6 > 0' | wc -l
}

# A 32-bit visual of the display, whose top byte is alpha to a compositor, for SDL's window.
use_32bit_visual() {
    local visual
    # awk reads to the end: xdpyinfo, cut short, would fail the pipe.
    visual=$(xdpyinfo | awk '/visual id:/ { id = $3 } /depth: +32 planes/ && !found { found = id }
        END { print found }')
    [ -n "$visual" ] || fail "the display has no 32-bit visual"
    export SDL_VIDEO_X11_WINDOW_VISUALID=$visual
}

shows_frames() {
    match_frame=$3
    local send_close=$4 depth=${5:-24} how=${6:-} foreign_segments=${7:-}
    program_display=
    case $how in
        unshared) start_xvfb "$depth" -extension MIT-SHM ;;
        remote | container) start_xvfb_apart "$depth" "$how" "$foreign_segments" ;;
        *) start_xvfb "${depth/32/24}" ;;
    esac
    [ "$depth" != 32 ] || use_32bit_visual
    [[ $program == *.exe ]] && prepare_wine
    DISPLAY=${program_display:-$DISPLAY} start_program
    find_window
    wait_for_fps_lines 30

    local shown
    shown=$(xprop -id "$window" _NET_WM_NAME)
    [ "$shown" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] || fail "title is $shown"
    if [ "$how" = remote ] || [ "$how" = container ]; then
        shown=$(attached_foreign_segments)
        [ "$shown" -eq 0 ] || fail "the X server attached $shown segments of its own namespace"
    fi

    wait_for_frame
    if [ "$depth" = 32 ]; then
        # Opaque beyond the frame too.
        xdotool windowsize "$window" 1100 900
        expect_frame_at_top_left "made larger"
    fi
    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "at $depth bits${how:+, $how}: $(cat "$work/match"); closed after $(fps_line_count) FPS lines"
}

closed_output() {
    match_frame=$3
    local send_close=$4 closed
    start_xvfb
    [[ $program == *.exe ]] && prepare_wine
    for closed in stdout 'stdout stderr'; do
        start_program "$closed"
        find_window
        wait_for_frame
        close_window "$send_close"
        wait_for 10 "the closed window to go" no_window_left
        echo "with $closed closed: $(cat "$work/match"); closed with status 0"
    done
}

no_display() {
    forget_displays
    [[ $program == *.exe ]] && prepare_wine
    start_program
    wait_for_fps_lines 100
    local before
    before=$(fps_line_count)
    sleep 1
    [ "$(fps_line_count)" -gt "$before" ] || fail "FPS lines stopped"
    end_process "$program_pid"
    program_pid=
    if [[ $program == *.exe ]]; then
        [ "$(wc -l <"$work/err")" -eq 1 ] || fail "standard error holds other than one line"
        grep -q '^pointcloud: no window' "$work/err" || fail "no word of the missing window"
    else
        [ "$(cat "$work/err")" = "pointcloud: no window (no display); rendering without one" ] ||
            fail "standard error holds other than the line about the missing display"
    fi
    echo "rendered without a display: $(fps_line_count) FPS lines; $(cat "$work/err")"
}

# Waits for frames drawn after the last change, then for the client area to show one from its
# top-left corner.
expect_frame_at_top_left() {
    wait_for_more_fps_lines 10
    wait_for 30 "a frame from the window's corner, $1" shows_a_frame --top-left
}

resize_to() {
    xdotool windowsize "$window" "$1" "$2"
}

is_unmapped() { xwininfo -id "$window" | grep -q 'IsUnMapped'; }

has_cover() {
    [ -n "$(xdotool search --onlyvisible --name '^xlogo$' 2>/dev/null | head -n 1 || true)" ]
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
    wait_for 10 "the window to minimise" is_unmapped
    wait_for_more_fps_lines 100
    wmctrl -i -a "$window"
    expect_frame_at_top_left "restored"

    xlogo -geometry 700x500+100+100 2>/dev/null &
    cover_pid=$!
    wait_for 10 "the covering window" has_cover
    wait_for_more_fps_lines 100
    end_process "$cover_pid"
    cover_pid=
    expect_frame_at_top_left "uncovered"

    program_runs
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "resized, minimised, restored, covered and uncovered; $(fps_line_count) FPS lines"
}

display_lost() {
    start_xvfb
    start_program
    find_window
    wait_for_fps_lines 30
    end_process "$xvfb_pid"
    xvfb_pid=
    wait_for_end "the display ended"
    [ "$status" -eq 1 ] || fail "ended with status $status when the display ended"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "standard error holds other than one line"
    grep -q '^pointcloud: lost the connection to the display' "$work/err" ||
        fail "no word of the lost display"
    echo "display lost: status $status; $(cat "$work/err")"
}

has_socket() { test -S "$XDG_RUNTIME_DIR/pointcloud-test"; }

has_compositor_window() {
    window=$(xdotool search --class '^Weston Compositor$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ]
}

has_no_compositor_window() { ! has_compositor_window; }

# A compositor nested in an X window, since the headless backend offers no seat and SDL's
# Wayland driver crashes without one. The kiosk shell gives the program the whole output, larger
# than the frame; the compositor draws the pointer where the X pointer is, so that goes beyond
# the frame.
start_compositor() {
    rm -f "$XDG_RUNTIME_DIR/pointcloud-test"
    weston --backend=x11-backend.so --use-pixman --shell=kiosk-shell.so --width=1100 \
        --height=900 --socket=pointcloud-test >>"$work/compositor" 2>&1 &
    compositor_pid=$!
    wait_for 10 "the compositor's socket" has_socket
    wait_for 10 "the compositor's window" has_compositor_window
    xdotool mousemove --window "$window" 1090 890
}

wayland() {
    match_frame=$3
    start_xvfb
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export WAYLAND_DISPLAY=pointcloud-test SDL_VIDEODRIVER=wayland
    start_compositor
    DISPLAY='' start_program
    wait_for_fps_lines 30
    wait_for_frame
    kill -TERM "$program_pid"
    wait_for_end "SIGTERM"
    [ "$status" -eq 0 ] || fail "ended with status $status after SIGTERM"
    ! grep -q '^pointcloud:' "$work/err" || fail "the program did not show its frame"
    echo "under Wayland: $(cat "$work/match"); ended by SIGTERM with status 0"

    # A compositor of its own, so that this part does not rest on the first one's state.
    end_process "$compositor_pid"
    wait_for 10 "the first compositor's window to go" has_no_compositor_window
    start_compositor
    DISPLAY='' start_program
    wait_for_fps_lines 30
    ! grep -q '^pointcloud:' "$work/err" || fail "the program did not open its window"
    end_process "$compositor_pid"
    compositor_pid=
    wait_for_end "the compositor ended"
    [ "$status" -eq 1 ] || fail "ended with status $status when the compositor ended"
    # Without a decoration plugin the decoration library adds lines of its own.
    [ "$(grep -c '^pointcloud:' "$work/err")" -eq 1 ] &&
        grep -q '^pointcloud: lost the connection to the display' "$work/err" ||
        fail "no one line about the lost display"
    echo "compositor lost: status $status; $(grep '^pointcloud:' "$work/err")"
}

case $mode in
    shows-frames) shows_frames "$@" ;;
    closed-output) closed_output "$@" ;;
    no-display) no_display ;;
    window-faults) window_faults "$@" ;;
    display-lost) display_lost ;;
    wayland) wayland "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

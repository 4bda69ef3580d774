#!/usr/bin/env bash
# End-to-end tests of the program's window, on a private X server (Xvfb).
#
#   window_test.sh shows-frames PROGRAM MATCH_FRAME SEND_CLOSE [DEPTH [unshared]]
#       On a display of DEPTH bits (24 unless given) the window appears with its title, shows
#       a frame of the animation in its client area while FPS lines arrive (exactly where the
#       display holds 8 bits a channel, its lit pixels where it holds fewer), and a close
#       request ends the program with 0. With `unshared` the display offers no shared memory,
#       as a remote one does.
#   window_test.sh closed-output PROGRAM MATCH_FRAME SEND_CLOSE
#       Started with standard output closed, and then with standard error closed too, the
#       program shows frames and a close request ends it with 0.
#   window_test.sh no-display PROGRAM
#       With no display the program says so in one line on standard error and keeps
#       rendering and printing FPS lines.
#   window_test.sh threads PROGRAM [LIMIT_KB]
#       Without a display, the program runs one thread when pinned to one processor, and two
#       where it may run on two or more; under an address-space limit of LIMIT_KB, too small
#       for a second thread's stack, it still draws, on one thread.
#   window_test.sh window-faults PROGRAM MATCH_FRAME
#       Under a window manager the window is resized larger and smaller, minimised and
#       restored, covered and uncovered: the program runs on, and each time the client area
#       shows a frame 1:1 from its top-left corner and black beyond it.
#   window_test.sh display-lost PROGRAM
#       When the X server ends under it, the program ends with status 1 and one line on
#       standard error.
#   window_test.sh wayland PROGRAM MATCH_FRAME
#       Under a Wayland compositor (nested in Xvfb) the window shows a frame of the animation
#       exactly, and SIGTERM ends the program with 0; when the compositor ends under it, the
#       program ends with status 1 and one line of its own on standard error.
#   window_test.sh viewer VIEWER
#       The viewer's window turns the rhinoceros until Space pauses it; a drag with the left
#       button turns the paused view; P saves the frame as a PNG and names it; Escape ends the
#       viewer with status 0.
#   window_test.sh code-pages PROGRAM MATCH_FRAME SEND_CLOSE
#       Under Russian and Japanese locales (code pages 1251 and 932 for Windows programs) the
#       title reads right, a frame shows exactly, and a close request ends the program with 0.
#   window_test.sh drag PROGRAM MATCH_FRAME SEND_CLOSE
#       With windows that Wine draws itself, a one-second drag of the title bar moves the
#       window while at least 10 FPS lines come; the window then shows a frame exactly, and a
#       close request ends the program with 0.
#   window_test.sh wine-prefix PROGRAM
#       Makes the Wine prefix named by WINEPREFIX, for the tests of PROGRAM to share.
#   window_test.sh soak PROGRAM SEND_CLOSE FRAMES
#   window_test.sh soak-headless PROGRAM FRAMES
#       Runs the program, with its window or without a display, for FRAMES frames: FPS lines
#       keep coming, the resident memory does not grow after the first second, and (with the
#       window) a close request ends it with status 0.
#
# A PROGRAM ending in .exe is the Windows build and runs under Wine, in the prefix named by
# WINEPREFIX or else in a fresh one; where it has not been built the test is skipped (status
# 77). Every wait has one deadline and names what it waited
# for; everything started is ended and waited for.
set -euo pipefail

mode=$1
program=$2
title='Notre première fenêtre'
work=$(mktemp -d)
xvfb_pid=
compositor_pid=
status=
wm_pid=
cover_pid=
program_pid=
wine_started=
wine_self_drawn=

if [[ $program == *.exe ]] && [ ! -f "$program" ]; then
    echo "SKIP: $program has not been built"
    exit 77
fi

# Ends a process started here: SIGTERM, then SIGKILL if it is still there after 5 s (a program
# stuck in a call may not heed SIGTERM); then waits for it.
end_process() {
    local pid=$1
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    [ -z "$program_pid" ] || end_process "$program_pid"
    [ -z "$cover_pid" ] || end_process "$cover_pid"
    [ -z "$wm_pid" ] || end_process "$wm_pid"
    [ -z "$compositor_pid" ] || end_process "$compositor_pid"
    # The prefix is shared with the other tests, which want windows of the window manager's.
    [ -z "$wine_self_drawn" ] || wine reg delete "$wine_x11_key" /v Managed /f >/dev/null 2>&1 || true
    if [ -n "$wine_started" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    [ -z "$xvfb_pid" ] || end_process "$xvfb_pid"
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- standard output (last lines)" >&2
    tail -n 5 "$work/out" >&2 || true
    echo "--- standard error" >&2
    cat "$work/err" >&2 || true
    if [ -s "$work/compositor" ]; then
        echo "--- compositor" >&2
        cat "$work/compositor" >&2
    fi
    exit 1
}

# Runs `condition` (a command) every 0.1 s until it holds, failing after `seconds` with
# "waited ... for `what`".
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "waited $seconds s for $what"
        sleep 0.1
    done
}

program_runs() { kill -0 "$program_pid" 2>/dev/null || fail "the program ended"; }

# Starts Xvfb at DEPTH bits (24 unless given), with any further arguments as its own.
start_xvfb() {
    local depth=${1:-24}
    Xvfb -displayfd 3 -screen 0 "1280x1024x$depth" -nolisten tcp -noreset "${@:2}" \
        3>"$work/display" 2>/dev/null &
    xvfb_pid=$!
    wait_for 10 "Xvfb to name its display" test -s "$work/display"
    export DISPLAY=":$(cat "$work/display")"
}

start_window_manager() {
    jwm >/dev/null 2>&1 &
    wm_pid=$!
    wait_for 10 "the window manager" wmctrl -m
}

# Wine's server, kept running, and its background services started and settled, so that the
# program's run does not wait for them. Making a fresh prefix takes seconds.
prepare_wine() {
    export WINEDEBUG=-all
    if [ -z "${WINEPREFIX:-}" ]; then
        export WINEPREFIX="$work/wine"
        mkdir "$WINEPREFIX"
    fi
    wine_started=yes
    wineserver -p
    local started=0
    timeout 60 wine cmd /c exit >/dev/null 2>&1 || started=$?
    [ "$started" -ne 124 ] || fail "waited 60 s for Wine to start"
}

wine_prefix() {
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    prepare_wine
    echo "Wine prefix made in $WINEPREFIX"
}

# Where Wine keeps its X11 driver's settings; Managed = N draws every window's frame and
# title bar in Wine and moves it there, without a window manager.
wine_x11_key='HKCU\Software\Wine\X11 Driver'

# Empties the program's output files before it starts: the shell opens them only once the
# program's process is under way, and until then a wait must not count a previous run's lines.
clear_output() { : >"$work/out" && : >"$work/err"; }

# Starts the program with its output in files; `closed` names the descriptors to close
# instead: "stdout", or "stdout stderr".
start_program() {
    local closed=${1:-}
    clear_output
    local -a command=("$program")
    [[ $program == *.exe ]] && command=(wine "$program")
    case $closed in
        '') "${command[@]}" >"$work/out" 2>"$work/err" & ;;
        stdout) "${command[@]}" >&- 2>"$work/err" & ;;
        'stdout stderr') "${command[@]}" >&- 2>&- & ;;
    esac
    program_pid=$!
}

# The Windows build ends its lines with CR LF.
fps_line_count() { grep -c $'^FPS = [0-9]*\r\\?$' "$work/out" || true; }

has_fps_lines() {
    program_runs
    [ "$(fps_line_count)" -ge "$1" ]
}

wait_for_fps_lines() { wait_for 30 "$1 FPS lines" has_fps_lines "$1"; }

# Waits for `wanted` more FPS lines than there are now.
wait_for_more_fps_lines() {
    wait_for_fps_lines $(($(fps_line_count) + $1))
}

has_ended() { ! kill -0 "$program_pid" 2>/dev/null; }

# Waits up to 10 s for the program to end after `what` and leaves its exit status in `status`.
wait_for_end() {
    wait_for 10 "the program to end after $1" has_ended
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

# The window's id, in `window`: the top-level window whose name starts like the title.
has_window() {
    program_runs
    window=$(xdotool search --name '^Notre premi' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ]
}

find_window() { wait_for 20 "the window to appear" has_window; }

# A program's windows outlive it until the X server has seen its connection close.
no_window_left() { [ -z "$(xdotool search --name '^Notre premi' 2>/dev/null || true)" ]; }

# Whether the window shows a whole frame; match_frame says which, or why not.
shows_a_frame() {
    program_runs
    "$match_frame" "$@" "$window" >"$work/match" 2>&1
}

# Waits for the window to show a frame: screenshots until one does, in case one is taken
# mid-update or before the first frame.
wait_for_frame() { wait_for 30 "the window to show a frame of the turn" shows_a_frame; }

shows_frames() {
    match_frame=$3
    local send_close=$4 depth=${5:-24} sharing=${6:-}
    if [ "$sharing" = unshared ]; then
        start_xvfb "$depth" -extension MIT-SHM
    else
        start_xvfb "$depth"
    fi
    [[ $program == *.exe ]] && prepare_wine
    start_program
    find_window
    wait_for_fps_lines 30

    local shown
    shown=$(xprop -id "$window" _NET_WM_NAME)
    [ "$shown" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] || fail "title is $shown"

    wait_for_frame
    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "at $depth bits${sharing:+, $sharing}: $(cat "$work/match"); closed after $(fps_line_count) FPS lines"
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

# Makes `locale` (e.g. ru_RU.UTF-8) in $work/locales, for LOCPATH: the system need not have it.
make_locale() {
    local name=$1
    mkdir -p "$work/locales"
    localedef -i "${name%%.*}" -f UTF-8 "$work/locales/$name" >"$work/localedef-$name" 2>&1 ||
        fail "localedef $name: $(cat "$work/localedef-$name")"
}

# Wine must see the locale, or the program would run under the code page of the C locale and
# the test would prove nothing: Wine records the ANSI code page it takes from the locale.
expect_wine_code_page() {
    local wanted=$1 shown
    shown=$(wine reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP \
        2>/dev/null | tr -d '\r' | awk '$1 == "ACP" { print $3 }')
    [ "$shown" = "$wanted" ] || fail "Wine's code page under $LANG: '$shown', not $wanted"
}

code_pages() {
    match_frame=$3
    local send_close=$4 name code_page shown
    make_locale ru_RU.UTF-8 &
    local ru_pid=$!
    make_locale ja_JP.UTF-8
    wait "$ru_pid" || fail "localedef ru_RU.UTF-8"
    start_xvfb
    prepare_wine
    export LOCPATH="$work/locales"
    unset LC_ALL LC_CTYPE LC_MESSAGES
    for name in ru_RU.UTF-8:1251 ja_JP.UTF-8:932; do
        code_page=${name#*:}
        export LANG=${name%:*}
        expect_wine_code_page "$code_page"
        start_program
        find_window
        shown=$(xprop -id "$window" _NET_WM_NAME)
        [ "$shown" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] || fail "under $LANG the title is $shown"
        wait_for_frame
        close_window "$send_close"
        [ ! -s "$work/err" ] || fail "the program wrote to standard error"
        wait_for 10 "the closed window to go" no_window_left
        echo "under $LANG (code page $code_page): $shown; $(cat "$work/match"); closed with status 0"
    done
}

window_position() { xdotool getwindowgeometry --shell "$window" | grep '^[XY]=' | tr '\n' ' '; }

is_at() { [ "$(window_position)" = "$1" ]; }

drag() {
    match_frame=$3
    local send_close=$4 x y before during step moved_to
    start_xvfb
    prepare_wine
    wine reg add "$wine_x11_key" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wine_self_drawn=yes
    start_program
    find_window
    wait_for_fps_lines 30
    eval "$(xdotool getwindowgeometry --shell "$window")"
    # Into the title bar, clear of its buttons, and one step: once the window follows, Windows'
    # own loop runs (had the press missed the title bar, frames would come all the same). Then
    # 20 steps 50 ms apart, counting the FPS lines.
    x=$((X + 300)) y=$((Y + 10))
    xdotool mousemove "$x" "$y" mousedown 1
    xdotool mousemove $((x + 5)) $((y + 3))
    wait_for 10 "the window to follow the pointer" is_at "X=$((X + 5)) Y=$((Y + 3)) "
    before=$(fps_line_count)
    for step in $(seq 2 21); do
        xdotool mousemove $((x + 5 * step)) $((y + 3 * step))
        sleep 0.05
    done
    during=$(($(fps_line_count) - before))
    program_runs
    moved_to="X=$((X + 105)) Y=$((Y + 63)) "
    wait_for 10 "the window to follow the pointer to $moved_to" is_at "$moved_to"
    xdotool mouseup 1
    [ "$during" -ge 10 ] || fail "$during FPS lines while the title bar was dragged for a second"
    wait_for_more_fps_lines 10
    wait_for_frame
    close_window "$send_close"
    [ ! -s "$work/err" ] || fail "the program wrote to standard error"
    echo "dragged by its title bar for a second: $during FPS lines; then $(cat "$work/match")"
}

# Neither X nor Wayland can be reached: no display, no runtime directory.
forget_displays() { unset DISPLAY WAYLAND_DISPLAY WAYLAND_SOCKET XDG_RUNTIME_DIR; }

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

thread_count() { awk '/^Threads:/ { print $2 }' "/proc/$program_pid/status"; }

# The processors this test may run on, one per line: a machine's processors need not be
# numbered from 0, nor all be ours.
allowed_processors() {
    local range
    for range in $(awk '/^Cpus_allowed_list:/ { gsub(",", " ", $2); print $2 }' /proc/self/status); do
        seq "${range%-*}" "${range#*-}"
    done
}

# Runs the program headless under `taskset -c cpus` and an address-space limit of `limit_kb`
# and expects `wanted` threads once it draws.
expect_threads() {
    local cpus=$1 limit_kb=$2 wanted=$3 threads given
    clear_output
    (ulimit -s 8192 -v "$limit_kb" && exec taskset -c "$cpus" "$program") >"$work/out" 2>"$work/err" &
    program_pid=$!
    wait_for_fps_lines 20
    threads=$(thread_count)
    given=$(awk '/^Cpus_allowed_list:/ { print $2 }' "/proc/$program_pid/status")
    end_process "$program_pid"
    program_pid=
    [ "$threads" -eq "$wanted" ] ||
        fail "$threads threads on processors $cpus (given $given) within $limit_kb kB, not $wanted"
    echo "on processors $cpus within $limit_kb kB: $threads threads"
}

threads() {
    local limit_kb=${3:-} cpus
    forget_displays
    mapfile -t cpus < <(allowed_processors)
    expect_threads "${cpus[0]}" unlimited 1
    if [ "${#cpus[@]}" -ge 2 ]; then
        expect_threads "${cpus[0]},${cpus[1]}" unlimited 2
        [ -z "$limit_kb" ] || expect_threads "${cpus[0]},${cpus[1]}" "$limit_kb" 1
    else
        echo "only processor ${cpus[0]} to run on: two threads not tried"
    fi
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
        program_runs
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
    forget_displays
    start_program
    soak_for "$frames"
    end_process "$program_pid"
    program_pid=
}

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

case $mode in
    viewer) viewer ;;
    shows-frames) shows_frames "$@" ;;
    closed-output) closed_output "$@" ;;
    no-display) no_display ;;
    threads) threads "$@" ;;
    window-faults) window_faults "$@" ;;
    display-lost) display_lost ;;
    wayland) wayland "$@" ;;
    code-pages) code_pages "$@" ;;
    drag) drag "$@" ;;
    wine-prefix) wine_prefix ;;
    soak) soak "$@" ;;
    soak-headless) soak_headless "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

# The steps that the window tests share, sourced by each of tests/window/*_test.sh: Xvfb, a window
# manager and Wine started and ended, the program started and waited for, its window found and
# matched against a frame of the turn.
#
# The sourcing test is called as `TEST MODE PROGRAM ...`: `mode` and `program` hold the first two
# arguments. A PROGRAM ending in .exe is the Windows build and runs under Wine, in the prefix named
# by WINEPREFIX or else in a fresh one; where it has not been built the test is skipped (status
# 77). Every wait has one deadline and names what it waited for; everything started is ended and
# waited for.

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
    if [ -s "$work/match" ]; then
        echo "--- the last look at the window" >&2
        cat "$work/match" >&2
    fi
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

# Commands that Xvfb and the program run under, with their arguments, and the program's own
# arguments, where a case sets them.
xvfb_wrapper=()
program_wrapper=()
program_arguments=()

# Starts Xvfb at DEPTH bits (24 unless given), with any further arguments as its own.
start_xvfb() {
    local depth=${1:-24}
    "${xvfb_wrapper[@]}" Xvfb -displayfd 3 -screen 0 "1280x1024x$depth" -nolisten tcp -noreset "${@:2}" \
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
    local -a command=("${program_wrapper[@]}" "$program" "${program_arguments[@]}")
    [[ $program == *.exe ]] && command=("${program_wrapper[@]}" wine "$program" "${program_arguments[@]}")
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

# Neither X nor Wayland can be reached: no display, no runtime directory.
forget_displays() { unset DISPLAY WAYLAND_DISPLAY WAYLAND_SOCKET XDG_RUNTIME_DIR; }

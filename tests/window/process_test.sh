#!/usr/bin/env bash
# End-to-end tests of the program as a process: its threads by the processors it may use, and
# soaks with its window on a private X server (Xvfb) and without a display.
#
#   process_test.sh threads PROGRAM [LIMIT_KB]
#       Without a display, the program runs one thread when pinned to one processor, and two
#       where it may run on two or more; under an address-space limit of LIMIT_KB, too small
#       for a second thread's stack, it still draws, on one thread.
#   process_test.sh soak PROGRAM SEND_CLOSE FRAMES
#   process_test.sh soak-headless PROGRAM FRAMES
#       Runs the program, with its window or without a display, for FRAMES frames: FPS lines
#       keep coming, the resident memory does not grow after the first second, and (with the
#       window) a close request ends it with status 0.
set -euo pipefail
source "$(dirname "$0")/window_steps.sh"

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

case $mode in
    threads) threads "$@" ;;
    soak) soak "$@" ;;
    soak-headless) soak_headless "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# The demo's frame rate in its window against its frame rate headless, alternating runs on a
# private X server (24 bits, under a small window manager):
#   tools/window_vs_headless.sh PROGRAM [RUNS [SECONDS]]
# Each run prints the window's rate, the headless rate and their ratio. A run's rate is the third
# highest of the distinct non-zero "FPS = n" lines it printed: a high rate that a busy machine
# lets through now and then, without the best second's luck. Compare ratios of runs made side
# by side, never absolute rates: the machine is shared.
set -euo pipefail
program=$1
runs=${2:-3}
seconds=${3:-5}
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
sleep 1

rate_of() {
    grep -o '[0-9]*$' "$1" | awk '$1 > 0' | sort -nu | tail -n 3 | head -n 1
}

for run in $(seq "$runs"); do
    timeout "$seconds" "$program" >"$work/window" 2>/dev/null || true
    env -u DISPLAY -u WAYLAND_DISPLAY timeout "$seconds" "$program" >"$work/headless" 2>/dev/null || true
    window=$(rate_of "$work/window")
    headless=$(rate_of "$work/headless")
    echo "run $run: window $window FPS, headless $headless FPS," \
        "ratio $(awk -v w="$window" -v h="$headless" 'BEGIN { printf "%.2f", w / h }')"
done

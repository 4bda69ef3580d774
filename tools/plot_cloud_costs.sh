#!/bin/sh
# Plots how the cost of a frame grows with the size of the cloud, from the JSON that
# pointcloud_bench writes: the median frame time of draw_points and of the two-thread read of
# the same points, and the points per second of each. Prints the same figures as a Markdown
# table. Needs python3 and gnuplot (Debian: gnuplot-nox).
#
#   ./build/release/bench/pointcloud_bench --benchmark_filter=cloud \
#       --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
#       --benchmark_out=clouds.json --benchmark_out_format=json
#   tools/plot_cloud_costs.sh clouds.json docs/cloud_costs.png
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 BENCHMARK_JSON OUTPUT_PNG" >&2
    exit 2
fi
data=$(mktemp)
trap 'rm -f "$data"' EXIT

# One line per size: millions, draw ms, read ms, draw G points/s, read G points/s.
python3 - "$1" > "$data" <<'PYTHON'
import json, sys

medians = {}
for run in json.load(open(sys.argv[1]))["benchmarks"]:
    if run.get("aggregate_name") != "median":
        continue
    name, _, size = run["run_name"].partition("/")
    size = size.split("/")[0]
    if name in ("draw_cloud", "read_cloud_two_threads") and size.endswith("M"):
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run["time_unit"]]
        medians[(name, int(size[:-1]))] = run["real_time"] * scale
for millions in sorted({m for _, m in medians}):
    draw = medians.get(("draw_cloud", millions))
    read = medians.get(("read_cloud_two_threads", millions))
    if draw and read:
        print(millions, draw, read, millions / draw, millions / read)
PYTHON

echo "| points | frame | G points/s | two-thread read | G points/s | × the read |"
echo "|---|---|---|---|---|---|"
awk '{printf "| %d M | %.1f ms | %.2f | %.1f ms | %.2f | %.2f |\n", $1, $2, $4, $3, $5, $2 / $3}' "$data"

gnuplot <<GNUPLOT
set terminal pngcairo size 900,380 font ",10"
set output "$2"
set multiplot layout 1,2
set logscale x
set xtics (1, 4, 20, 60)
set xlabel "million points"
set key top left
set grid
set logscale y
set title "median time of a frame"
set ylabel "ms"
plot "$data" using 1:2 with linespoints title "draw\\\\_points", \
     "$data" using 1:3 with linespoints title "read on two threads"
unset logscale y
set yrange [0:*]
set key bottom right
set title "points per second"
set ylabel "G points/s"
plot "$data" using 1:4 with linespoints title "draw\\\\_points", \
     "$data" using 1:5 with linespoints title "read on two threads"
unset multiplot
GNUPLOT

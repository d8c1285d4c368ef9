#!/usr/bin/env bash
# `make bench`: the step per build against a plain Life of the same instruction set and the
# tests' model, the other micro-benchmarks (medians over repetitions), then the whole program under
# Xvfb for 20 seconds, once with the installed SDL 1.2 (sdl12-compat over SDL 2) and once with
# the classic SDL 1.2.15 library unpacked from Debian's libsdl1.2debian into a temporary folder
# by scripts/classic-sdl.sh (the installed library is not touched).
set -euo pipefail
build=${1:-build}
secs=${QUOLVANE_CPU_SECONDS:-20}
here=$(cd "$(dirname "$0")/.." && pwd)

bench=$build/bench/bench_quolvane
work=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The step against its yardsticks, per build of the step this processor runs: the step and the
# plain alive-only Life compiled with the same flags, their repetitions interleaved in one
# process so that both see the same machine; then the tests' model once. Medians of CPU time.
# "run down" is the step on the same world after 5,000 generations, its balances near 0.
# CSV rows: "name",iterations,real_time,cpu_time,time_unit,...
median_us() { # FILE BENCHMARK: the median CPU time of BENCHMARK in microseconds
    awk -F, -v name="\"$2_median\"" '$1 == name {
        u = $5; gsub(/"/, "", u); f = u == "ms" ? 1000 : u == "ns" ? 0.001 : 1
        printf "%.1f", $4 * f }' "$1"
}
"$bench" --benchmark_filter='^BM_ModelStep/640/360$' --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_out="$work/model.csv" \
    --benchmark_out_format=csv >/dev/null 2>&1
model=$(median_us "$work/model.csv" BM_ModelStep/640/360)
cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "The step per build on ${cpu:-this processor}, medians of 7 interleaved repetitions:"
printf '%-9s %10s %11s %7s %11s %16s %12s %11s\n' build "step (us)" "plain Life" ratio \
    "model (us)" "4096^2 step (ms)" "cell cost x" "run down"
while read -r isa; do
    QUOLVANE_STEP_ISA=$isa "$bench" --benchmark_filter='^BM_(Step|PlainLife|StepRunDown)/' \
        --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true --benchmark_out="$work/$isa.csv" \
        --benchmark_out_format=csv >/dev/null 2>&1
    step=$(median_us "$work/$isa.csv" BM_Step/640/360)
    life=$(median_us "$work/$isa.csv" BM_PlainLife/640/360)
    big=$(median_us "$work/$isa.csv" BM_Step/4096/4096/iterations:20)
    down=$(median_us "$work/$isa.csv" BM_StepRunDown/640/360)
    # The cost of a cell at 4096 x 4096 against its cost at 640 x 360.
    awk -v isa="$isa" -v s="$step" -v l="$life" -v m="$model" -v b="$big" -v d="$down" 'BEGIN {
        printf "%-9s %10.1f %11.1f %6.2fx %11.1f %16.2f %11.2fx %11.1f\n", isa, s, l, s / l, m,
               b / 1000, (b / (4096 * 4096)) / (s / (640 * 360)), d }'
done < <("$build/step_builds_here")

# QUOLVANE_BENCH_STEP_ONLY=1 stops here, for work on the step.
[ "${QUOLVANE_BENCH_STEP_ONLY:-0}" = 1 ] && exit 0
echo
echo "The other benchmarks, medians of 7 repetitions:"
"$bench" --benchmark_filter='-^BM_(Step|PlainLife|ModelStep)/' --benchmark_repetitions=7 \
    --benchmark_report_aggregates_only=true --benchmark_display_aggregates_only=true 2>&1 |
    grep -E '^(Benchmark|-|BM_.*_median)'

echo
"$here/bench/cpu.sh" "$build" "$secs"

classic=$work/sdl12
mkdir "$classic"
echo
if lib=$("$here/scripts/classic-sdl.sh" "$classic"); then
    QUOLVANE_SDL_LIB_DIR="$lib" "$here/bench/cpu.sh" "$build" "$secs"
else
    echo "classic SDL 1.2: skipped"
fi

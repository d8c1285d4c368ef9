#!/usr/bin/env bash
# `make bench`: the micro-benchmarks (medians over repetitions), then the whole program under
# Xvfb for 20 seconds, once with the installed SDL 1.2 (sdl12-compat over SDL 2) and once with
# the classic SDL 1.2.15 library unpacked from Debian's libsdl1.2debian into a temporary folder
# by scripts/classic-sdl.sh (the installed library is not touched).
set -euo pipefail
build=${1:-build}
secs=${QUOLVANE_CPU_SECONDS:-20}
here=$(cd "$(dirname "$0")/.." && pwd)

"$build/bench/bench_quolvane" --benchmark_repetitions=7 --benchmark_report_aggregates_only=true \
    --benchmark_display_aggregates_only=true 2>&1 | grep -E '^(Benchmark|-|BM_.*_median)'

echo
"$here/bench/cpu.sh" "$build" "$secs"

classic=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-sdl12.XXXXXX")
trap 'rm -rf "$classic"' EXIT
echo
if lib=$("$here/scripts/classic-sdl.sh" "$classic"); then
    QUOLVANE_SDL_LIB_DIR="$lib" "$here/bench/cpu.sh" "$build" "$secs"
else
    echo "classic SDL 1.2: skipped"
fi

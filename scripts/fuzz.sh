#!/usr/bin/env bash
# Fuzzes, under AddressSanitizer and UndefinedBehaviorSanitizer, for SECONDS in all:
#   - the cell world against the tests' slow model (fuzz/fuzz_world.cpp), once per build of the
#     step this processor runs: the widest, then each narrower one by QUOLVANE_STEP_ISA;
#   - the engine's operations in any order and state, its worker running or not, against the
#     same model (fuzz/fuzz_engine.cpp).
# The two run side by side. Prints the executions per second of each run and in all.
# Usage: scripts/fuzz.sh SECONDS [BUILD_DIR]   (BUILD_DIR defaults to build-fuzz)
#
# Builds the two targets with clang, through CMake, in BUILD_DIR. Each runs on a scratch copy of
# its committed corpus (fuzz/corpus/world, fuzz/corpus/engine), which never grows here. A failing input is
# kept as BUILD_DIR/crash-* (or leak-*, timeout-*); run BUILD_DIR/fuzz_world FILE (or
# fuzz_engine) to replay it with every operation printed. Environment: FUZZ_JOBS (default 1)
# runs that many fuzzing processes per run, for long campaigns; FUZZ_UPDATE_CORPUS=1 replaces
# the committed corpora with the minimised scratch ones at the end (libFuzzer's -merge=1).
set -euo pipefail
seconds=${1:?usage: $0 SECONDS [BUILD_DIR]}
here=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$here/build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${FUZZ_JOBS:-1}

command -v clang++ >/dev/null || "$here/scripts/deps.sh"
command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed" >&2; exit 1; }

# The fuzzers are built by CMake (fuzz/CMakeLists.txt) with clang, from the same sources and
# list of step builds as the program. -ffp-contract=off comes from the top CMakeLists.txt as in
# the real build: the credit arithmetic must never be fused.
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "fuzz: configuring $build with clang"
    (cd "$here" && cmake --preset fuzz -B "$build" >/dev/null)
fi
cmake --build "$build" --target fuzz_world fuzz_engine step_builds_here -j"${JOBS:-2}" \
    >"$build/build.log" 2>&1 ||
    { tail -n 40 "$build/build.log" >&2; echo "fuzz: building the fuzzers failed" >&2; exit 1; }

# Two lanes run side by side, one core each, for SECONDS: the world, split over one run per
# build of the step this processor runs (the list CMake wrote, widest first; the first runs
# uncapped), and the engine, with the widest build.
mapfile -t world_isas < <("$build/step_builds_here")
world_isas[0]=widest
world_secs=$((seconds / ${#world_isas[@]}))
[ $world_secs -ge 1 ] || world_secs=1

work=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
for target in world engine; do
    mkdir -p "$work/corpus-$target"
    cp "$here/fuzz/corpus/$target/"* "$work/corpus-$target/"
done

# Fuzzes TARGET with the step build ISA for SECS seconds; writes one line of figures to
# TARGET-ISA.result and, if it failed, libFuzzer's report to TARGET-ISA.failure.
fuzz_run() {
    local target=$1 isa=$2 secs=$3 log=$work/$1-$2.log rc=0 start end execs cov elapsed
    local env_isa=() parallel=()
    [ "$isa" = widest ] || env_isa=(QUOLVANE_STEP_ISA="$isa")
    # Several jobs write their logs as fuzz-N.log into the current folder: one folder per lane.
    [ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")
    mkdir -p "$work/lane-$target"
    start=$(date +%s%N)
    # -timeout: an input that runs for seconds is a hang (the engine's worker not stopping).
    (cd "$work/lane-$target" && env "${env_isa[@]}" "$build/fuzz_$target" -max_total_time="$secs" \
        -timeout=20 -max_len=1024 "${parallel[@]}" -print_final_stats=1 \
        -artifact_prefix="$build/" "$work/corpus-$target") >"$log" 2>&1 || rc=$?
    if [ "$jobs" -gt 1 ]; then
        cat "$work/lane-$target"/fuzz-*.log >>"$log" 2>/dev/null || true
        rm -f "$work/lane-$target"/fuzz-*.log
    fi
    end=$(date +%s%N)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | awk '{ s += $1 } END { print s + 0 }')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    elapsed=$(((end - start) / 1000000000))
    echo "$execs $elapsed $target $isa ${cov:-?}" >"$work/$target-$isa.result"
    if [ $rc -ne 0 ]; then
        {
            echo "fuzz: FAILED: $target with the step build $isa (exit status $rc); libFuzzer's report:"
            grep -v '^#[0-9]' "$log" | tail -n 60
            echo "fuzz: replay the kept input with: ${env_isa[*]} $build/fuzz_$target $(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)"
        } >"$work/$target-$isa.failure"
        return 1
    fi
}

fuzz_run engine widest "$seconds" &
engine_lane=$!
for isa in "${world_isas[@]}"; do
    fuzz_run world "$isa" "$world_secs" || break
done
wait "$engine_lane" || true

total_execs=0
status=0
for result in "$work"/*.result; do
    read -r execs elapsed target isa cov <"$result"
    total_execs=$((total_execs + execs))
    echo "fuzz: $target, step build $isa: $execs executions in ${elapsed} s ($((execs / (elapsed > 0 ? elapsed : 1))) per second), coverage $cov edges"
done
for failure in "$work"/*.failure; do
    [ -e "$failure" ] || continue
    cat "$failure" >&2
    status=1
done
echo "fuzz: $total_execs executions in $seconds s on two lanes, $((total_execs / seconds)) per second"
if [ $status -eq 0 ] && [ "${FUZZ_UPDATE_CORPUS:-0}" = 1 ]; then
    for target in world engine; do
        rm -rf "$work/min-$target"
        mkdir "$work/min-$target"
        (cd "$work/lane-$target" && "$build/fuzz_$target" -merge=1 -max_len=1024 \
            "$work/min-$target" "$work/corpus-$target") >"$work/merge-$target.log" 2>&1
        rm -rf "${here:?}/fuzz/corpus/$target"
        cp -r "$work/min-$target" "$here/fuzz/corpus/$target"
        echo "fuzz: corpus of $target minimised to $(find "$here/fuzz/corpus/$target" -type f | wc -l) inputs in fuzz/corpus/$target"
    done
fi
exit $status

#!/usr/bin/env bash
# Fuzzes the cell world against the tests' slow model (fuzz/fuzz_world.cpp) for SECONDS, under
# AddressSanitizer and UndefinedBehaviorSanitizer, and prints the executions per second.
# Usage: scripts/fuzz.sh SECONDS [BUILD_DIR]   (BUILD_DIR defaults to build-fuzz)
#
# Builds only the fuzz target and the world's three sources with clang, in BUILD_DIR. The time is
# split over one run per build of the step the processor has (the widest, then capped to AVX2
# and SSE2, or portable, by QUOLVANE_STEP_ISA) on one scratch copy of fuzz/corpus, so the committed
# corpus never grows. A failing input is kept as BUILD_DIR/crash-* (or leak-*, timeout-*); run
# BUILD_DIR/fuzz_world FILE to replay it with every operation printed.
set -euo pipefail
seconds=${1:?usage: $0 SECONDS [BUILD_DIR]}
here=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$here/build-fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)

command -v clang++ >/dev/null || "$here/scripts/deps.sh"
command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed" >&2; exit 1; }

# Coverage instrumentation goes into the world's sources only: the harness and the model it
# inlines would otherwise spend most of the time in coverage callbacks, and their branches tell
# the fuzzer nothing about the code under test. The fuzzer's main comes in at the link.
san="-fsanitize=address,undefined -fno-sanitize-recover=all"
cxx=(clang++ -std=c++17 -O2 -g -fno-omit-frame-pointer -Wall -Wextra -ffp-contract=off
     -I"$here/src" -I"$here/tests")
cov=-fsanitize=fuzzer-no-link
sources=(
    "fuzz/fuzz_world.cpp|"
    "src/cellauto.cpp|$cov"
    "src/cellauto_avx2.cpp|$cov -mavx2 -mpopcnt"
    "src/cellauto_avx512.cpp|$cov -mavx512f -mavx512bw -mavx2 -mpopcnt -Wno-unknown-warning-option"
)
headers=("$here"/src/*.h "$here/tests/model.h")
objects=()
for entry in "${sources[@]}"; do
    src=$here/${entry%%|*}
    flags=${entry#*|}
    obj=$build/$(basename "${src%.cpp}").o
    objects+=("$obj")
    stale=0
    [ -f "$obj" ] && [ "$obj" -nt "$0" ] || stale=1
    for dep in "$src" "${headers[@]}"; do
        [ "$dep" -nt "$obj" ] && stale=1
    done
    if [ $stale -eq 1 ]; then
        echo "fuzz: compiling ${entry%%|*}"
        # shellcheck disable=SC2086
        "${cxx[@]}" $san $flags -c "$src" -o "$obj"
    fi
done
# shellcheck disable=SC2086
clang++ -fsanitize=fuzzer $san "${objects[@]}" -o "$build/fuzz_world"

# The processor's builds of the step, widest first.
isas=(widest)
grep -qw avx2 /proc/cpuinfo && grep -qw avx512bw /proc/cpuinfo && isas+=(avx2)
isas+=(sse2 portable)
per=$((seconds / ${#isas[@]}))
[ $per -ge 1 ] || per=1

work=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$here/fuzz/corpus/"* "$work/corpus/"

total_execs=0
total_secs=0
status=0
for isa in "${isas[@]}"; do
    log=$work/$isa.log
    env_isa=()
    [ "$isa" = widest ] || env_isa=(QUOLVANE_STEP_ISA="$isa")
    start=$(date +%s%N)
    rc=0
    env "${env_isa[@]}" "$build/fuzz_world" -max_total_time="$per" -timeout=60 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/" "$work/corpus" >"$log" 2>&1 || rc=$?
    end=$(date +%s%N)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    secs=$(((end - start) / 1000000000))
    total_execs=$((total_execs + ${execs:-0}))
    total_secs=$((total_secs + secs))
    echo "fuzz: step build $isa: ${execs:-?} executions in ${secs} s (${rate:-?} per second)"
    if [ $rc -ne 0 ]; then
        status=1
        echo "fuzz: FAILED with the step build $isa (exit status $rc); libFuzzer's report:" >&2
        grep -v '^#[0-9]' "$log" | tail -n 60 >&2
        break
    fi
done
corpus_files=$(find "$work/corpus" -type f | wc -l)
echo "fuzz: $total_execs executions in ${total_secs} s, $((total_execs / (total_secs > 0 ? total_secs : 1))) per second; scratch corpus grew to $corpus_files inputs"
if [ $status -ne 0 ]; then
    kept=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
    echo "fuzz: replay the kept input with: ${env_isa[*]} $build/fuzz_world ${kept:-$build/crash-...}" >&2
fi
exit $status

#!/usr/bin/env bash
# Valgrind's memcheck over the unit tests and over one session of the real program in a virtual
# X server (start, wait for frames, move, click, r, Right, Left, Space, q). Fails on any invalid
# read or write, use of uninitialised memory, or memory definitely or indirectly lost; reports
# what is still reachable at exit and whether any of that comes from quolvane's own code.
# Usage: scripts/valgrind.sh [BUILD_DIR]   (default build-valgrind; built with -O2 -g)
# Logs, one per process, are kept in BUILD_DIR/valgrind/. Takes about a minute, build included;
# `make test` runs it after the other tests.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-valgrind}
start_s=$(date +%s)

command -v valgrind >/dev/null || "$here/scripts/deps.sh"
(cd "$here" && cmake --preset valgrind -B "$build" >/dev/null)
cmake --build "$build" -j1 --target quolvane test_cellauto test_engine test_frontend >/dev/null
build=$(cd "$build" && pwd)
logs=$build/valgrind
rm -rf "$logs"
mkdir -p "$logs"

# Leaks of the kinds listed in --errors-for-leak-kinds count as errors, so the error summary of
# each process says it all. tests/valgrind.supp names what SDL itself leaves behind.
# shellcheck disable=SC2054 # the commas separate leak kinds within one option
vg=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
    --show-leak-kinds=all --errors-for-leak-kinds=definite,indirect
    --suppressions="$here/tests/valgrind.supp" --num-callers=30 --fair-sched=yes)

failed=0
# Runs one unit test binary under memcheck: NAME, then the command and its arguments.
run_unit() {
    local name=$1 rc=0
    shift
    echo "valgrind: $name"
    "${vg[@]}" --log-file="$logs/$name.%p.log" "$@" >"$logs/$name.out" 2>&1 || rc=$?
    if [ $rc -ne 0 ]; then
        echo "valgrind: $name FAILED (exit status $rc); see $logs/$name.*" >&2
        tail -n 15 "$logs/$name.out" >&2
        failed=1
    fi
}

# The differential tests at a fifth of their usual size; the model is slow under memcheck.
QUOLVANE_DIFF_SCALE=0.2 run_unit test_cellauto "$build/tests/test_cellauto"
# Again with the vector build that needs no compiler flags, which every processor of this kind
# runs (valgrind emulates no AVX-512, so the world would not pick a wider one here anyway).
baseline=$(awk '$1 != "portable" && NF == 1 { print $1; exit }' "$build/step-build-flags")
QUOLVANE_DIFF_SCALE=0.2 QUOLVANE_STEP_ISA=${baseline:-portable} run_unit \
    "test_cellauto_${baseline:-portable}" "$build/tests/test_cellauto" \
    --gtest_filter='CellAutoDifferential.*'
SDL_VIDEODRIVER=dummy run_unit test_engine "$build/tests/test_engine"
# The start-up death tests re-execute the binary for their children, outside memcheck.
SDL_VIDEODRIVER=dummy run_unit test_frontend "$build/tests/test_frontend"

# One session of the real program. xsession.sh starts the program by path, so a small wrapper
# execs memcheck with the program in the same process.
echo "valgrind: one session of quolvane under Xvfb"
(
    export QUOLVANE_DEADLINE_S=240 # memcheck runs the program some 20 to 50 times slower
    # shellcheck source=SCRIPTDIR/lib/xsession.sh
    source "$here/scripts/lib/xsession.sh"
    wrapper=$qv_tmp/quolvane-under-memcheck
    {
        echo '#!/bin/sh'
        printf 'exec'
        printf ' %q' "${vg[@]}" --log-file="$logs/quolvane.%p.log" \
            "$build/quolvane"
        echo
    } >"$wrapper"
    chmod +x "$wrapper"
    qv_launch "$wrapper"
    qv_hover 400 300 >/dev/null
    qv_wait_frames 2
    xdotool click 1
    qv_key r Right Left
    qv_wait_frames 2
    qv_key space
    qv_wait_frames 3
    qv_key q
    qv_wait_exit 600
    echo "valgrind: quolvane ended with status $QV_STATUS"
    [ "$QV_STATUS" -eq 0 ]
) || {
    echo "valgrind: the quolvane session FAILED; see $logs/quolvane.*" >&2
    failed=1
}

# Whether the pass fails comes from memcheck's own exit status (--error-exitcode, which leaks of
# the kinds above count towards) of each process, above. The logs are read below only to report,
# and for the one kind of process that gives no exit status under memcheck: a death-test child,
# which leaves it through exec.
#
# One line per process: its errors and leaks, and what it still held at exit, by the library
# that allocated it (the first frame above the allocator that names a library or one of our
# source files; frames of libraries already unloaded at exit show as ???, and are skipped).
origins() {
    awk '
        /are still reachable in loss record/ {
            n = $2; gsub(",", "", n); rec = 1; origin = ""; next
        }
        rec && /^==[0-9]+== *$/ {
            if (origin == "") origin = "glibc (dynamic loader, locale)"
            sum[origin] += n; rec = 0; next
        }
        rec && origin == "" && / by 0x/ {
            if ($0 ~ /(cellauto|engine|if_sdlflat|main)\.cpp:/) origin = "quolvane"
            else if (match($0, /\(in [^)]*\)/)) {
                lib = substr($0, RSTART + 4, RLENGTH - 5); sub(/.*\//, "", lib); sub(/\.so.*/, "", lib)
                origin = lib
            }
        }
        END { for (o in sum) printf "%s%s %d", (k++ ? ", " : ""), o, sum[o]; print "" }
    ' "$1"
}
printf '%-26s %-7s %-9s %-9s %-9s %-10s %s\n' process errors definite indirect possible reachable \
    "reachable bytes by origin"
for log in "$logs"/*.log; do
    name=$(basename "$log" .log)
    if ! grep -q 'ERROR SUMMARY' "$log"; then
        # A death-test child of gtest re-executes the binary and so leaves memcheck.
        printf '%-26s %s\n' "$name" "(left memcheck through exec; not checked)"
        grep -q 'Invalid\|uninitialised' "$log" && failed=1
        continue
    fi
    summary() {
        local v
        v=$(sed -n "s/^==[0-9]*== *$1: *\([0-9,]*\) bytes.*/\1/p" "$log" | tail -n 1 | tr -d ,)
        echo "${v:-0}"
    }
    errors=$(sed -n 's/^==[0-9]*== ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
    printf '%-26s %-7s %-9s %-9s %-9s %-10s %s\n' "$name" "$errors" "$(summary 'definitely lost')" \
        "$(summary 'indirectly lost')" "$(summary 'possibly lost')" \
        "$(summary 'still reachable')" "$(origins "$log")"
done
echo "valgrind: finished in $(($(date +%s) - start_s)) s"
[ $failed -eq 0 ] && echo "valgrind: PASS" || echo "valgrind: FAIL" >&2
exit $failed

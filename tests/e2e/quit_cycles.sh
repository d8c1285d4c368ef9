#!/usr/bin/env bash
# Starts quolvane and quits it many times in a row, with q and Escape in turn, each time while
# the world is running; every run must end with status 0. Quitting leaves the simulation
# thread to the program entry to stop, and an exit that races with a still stepping thread
# fails only now and then, hence the repetitions. Usage: quit_cycles.sh QUOLVANE_BINARY [RUNS]
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY [RUNS]}
runs=${2:-30}

statuses=""
for ((run = 1; run <= runs; run++)); do
    key=q
    [ $((run % 2)) -eq 0 ] && key=Escape
    qv_launch "$bin"
    qv_hover 400 300 >/dev/null
    qv_wait_frames 1
    qv_key $key
    qv_wait_exit 15
    statuses+=" $QV_STATUS"
    [ "$QV_STATUS" -eq 0 ] ||
        qv_fail "run $run of $runs, quit with $key: got exit status $QV_STATUS, expected 0 (statuses so far:$statuses)"
done
echo "$runs runs quit with q and Escape in turn, exit statuses:$statuses"

#!/usr/bin/env bash
# The whole program's cost: runs quolvane under Xvfb for SECONDS (default 20) with the mouse over
# the window, then quits it with q, and reports its CPU time per second of wall time, the frames
# it drew, and where the time went (the SDL library's flip against the rest of each frame).
#
#   bench/cpu.sh [BUILD_DIR] [SECONDS]
#
# Set QUOLVANE_SDL_LIB_DIR to a folder holding another libSDL-1.2.so.0 to measure the program
# against that library instead of the installed one (bench.sh does so for the classic SDL 1.2).
set -euo pipefail
build=${1:-build}
secs=${2:-20}
bin="$build/quolvane"
probe="$(cd "$build/bench" && pwd)/frame_probe.so"
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/../scripts/lib/xsession.sh
source "$here/../scripts/lib/xsession.sh"

[ -x "$bin" ] || qv_fail "no program at $bin (run make first)"
[ -f "$probe" ] || qv_fail "no frame probe at $probe"
stats="$qv_tmp/probe.txt"
qv_launch "$bin" QUOLVANE_FRAME_PROBE="$stats" LD_PRELOAD="$probe"
qv_mouse_to 600 300

ticks=$(getconf CLK_TCK)
t0=$(qv_now_ms)
c0=$(qv_cpu_ticks)
sleep "$secs"
c1=$(qv_cpu_ticks)
t1=$(qv_now_ms)
qv_quit q "$QUOLVANE_DEADLINE_S" >/dev/null

[ -s "$stats" ] || qv_fail "the frame probe wrote nothing"
awk -v wall_ms=$((t1 - t0)) -v cpu_ticks=$((c1 - c0)) -v hz="$ticks" -v lib="${QUOLVANE_SDL_LIB_DIR:-installed}" '
    /^frames/      { frames = $2 }
    /^flip_cpu_s/  { flip_cpu = $2 }
    /^flip_wall_s/ { flip_wall = $2 }
    /^thread/      { threads = threads sprintf("    thread %-16s %8.3f s CPU\n", $3, $4) }
    END {
        wall = wall_ms / 1000; cpu = cpu_ticks / hz
        printf "SDL library:            %s\n", lib
        printf "CPU per wall second:    %.3f s (%.1f%% of one core) over %.1f s\n", cpu / wall, 100 * cpu / wall, wall
        printf "frames drawn:           %d in the whole run\n", frames
        if (frames > 0)
            printf "SDL_Flip per frame:     %.3f ms CPU, %.3f ms wall\n", 1000 * flip_cpu / frames, 1000 * flip_wall / frames
        printf "CPU by thread over the whole run:\n%s", threads
    }' "$stats"

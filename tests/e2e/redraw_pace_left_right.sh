#!/usr/bin/env bash
# How often quolvane draws, and what it costs: frames are counted as caption updates (every
# drawn frame sets the caption, and X reports each setting), CPU use from /proc/PID/stat.
# Then Right slows the redraw check from 10 ms to 510 ms, and Left brings it back and no lower
# than 10 ms. Usage: redraw_pace_left_right.sh QUOLVANE_BINARY
#
# The bounds follow from the design, not from the machine's speed: the world steps at most once
# per 100 ms and a frame is drawn only for a new generation, so never more than 10 frames a
# second; with the check every 510 ms (plus the time to handle it), never more than one frame
# per 510 ms. The lower bounds are generous for a busy two-core machine.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY}

# Prints how many frames were drawn during the next SECONDS seconds.
count_frames() {
    local lines
    # xprop prints the current caption first, then one line per setting.
    lines=$( (timeout "$1" xprop -spy -id "$WIN" _NET_WM_NAME 2>/dev/null || true) | wc -l)
    echo $((lines > 0 ? lines - 1 : 0))
}

# Prints the CPU time, in clock ticks, that the program has used (user + system).
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$QV_PID/stat") || qv_fail "cannot read /proc/$QV_PID/stat"
    stat=${stat##*) }    # fields after the command name; utime and stime are fields 14 and 15
    set -- $stat
    echo $((${12} + ${13}))
}

qv_start_xvfb
qv_start "$bin"
qv_wait_window
qv_mouse_to 400 300
qv_wait_caption "$QV_CAPTION_RE" >/dev/null

measure_s=10
ticks_per_s=$(getconf CLK_TCK)
t0=$(cpu_ticks)
frames=$(count_frames $measure_s)
t1=$(cpu_ticks)
cpu_percent=$(((t1 - t0) * 100 / (ticks_per_s * measure_s)))
echo "measured over ${measure_s} s at the starting 10 ms check: $frames frames drawn" \
    "($(awk -v f="$frames" -v s="$measure_s" 'BEGIN { printf "%.1f", f / s }') per second)," \
    "CPU use ${cpu_percent}% of one core ($((t1 - t0)) ticks of 1/${ticks_per_s} s)"
[ "$frames" -le $((measure_s * 10 + 2)) ] ||
    qv_fail "got $frames frames in $measure_s s, expected at most $((measure_s * 10 + 2)): one per generation, one generation per 100 ms"
[ "$frames" -ge $((measure_s * 3)) ] ||
    qv_fail "got $frames frames in $measure_s s, expected at least $((measure_s * 3))"
[ "$cpu_percent" -lt 60 ] ||
    qv_fail "CPU use ${cpu_percent}% of one core over $measure_s s, expected well under 60% for 10 frames a second"

# 50 x Right: 10 + 50 x 10 = 510 ms between checks.
qv_key $(printf 'Right %.0s' $(seq 50))
qv_wait_frames 2
frames=$(count_frames 5)
echo "after 50 x Right (510 ms): $frames frames in 5 s"
[ "$frames" -le 11 ] || qv_fail "after 50 x Right: got $frames frames in 5 s, expected at most 11 (one per 510 ms)"
[ "$frames" -ge 1 ] || qv_fail "after 50 x Right: no frame in 5 s"

# 60 x Left: back to 10 ms, and the last 10 presses must not take it lower.
qv_key $(printf 'Left %.0s' $(seq 60))
qv_wait_frames 2
frames=$(count_frames 5)
echo "after 60 x Left (10 ms, the minimum): $frames frames in 5 s"
[ "$frames" -ge 15 ] || qv_fail "after 60 x Left: got $frames frames in 5 s, expected at least 15 (the check back at 10 ms)"

qv_key q
qv_wait_exit 15
[ "$QV_STATUS" -eq 0 ] || qv_fail "q: got exit status $QV_STATUS, expected 0"
echo "q: quolvane ended with status 0"

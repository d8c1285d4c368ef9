#!/usr/bin/env bash
# How often quolvane draws: at the starting 10 ms check never more often than the world steps,
# then Right slows the check from 10 ms to 510 ms, and Left brings it back and no lower than
# 10 ms. Usage: redraw_pace_left_right.sh QUOLVANE_BINARY X11_CAPTION_TIMES_HELPER
#
# Frames are timed by the X server: every drawn frame sets the caption, and the helper prints
# the server's timestamp of each setting. Every bound follows from the design and holds however
# busy the machine is, since load only ever makes frames later:
#   - the world steps at most once per 100 ms and a frame is drawn only for a new generation,
#     so N frames span at least (N - 3) x 100 ms;
#   - with the check every 510 ms, a frame needs a timer that fired 510 ms after the previous
#     frame re-armed it, so frames are 510 ms apart or more (450 allows for the X server
#     stamping one caption a little later than the next);
#   - back at 10 ms, frames follow the generations again, so some of them are closer than that.
# The program's CPU use is printed for information; `make bench` measures it properly.
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY X11_CAPTION_TIMES_HELPER}
times_helper=${2:?usage: $0 QUOLVANE_BINARY X11_CAPTION_TIMES_HELPER}

# Prints the gaps, in ms, between the next N frames, one per line.
frame_gaps() {
    "$times_helper" "$WIN" "$1" "$QUOLVANE_DEADLINE_S" >"$qv_tmp/times" ||
        qv_fail "fewer than $1 frames within ${QUOLVANE_DEADLINE_S} s"
    awk 'NR > 1 { print $1 - last } { last = $1 }' "$qv_tmp/times"
}

qv_launch "$bin"
qv_hover 400 300 >/dev/null

# The starting 10 ms check: one frame per generation at most.
frames=31
t0=$(qv_cpu_ticks) w0=$(qv_now_ms)
gaps=$(frame_gaps $frames)
t1=$(qv_cpu_ticks) w1=$(qv_now_ms)
span=$(echo "$gaps" | awk '{ s += $1 } END { print s }')
echo "at the starting 10 ms check: $frames frames over $span ms;" \
    "CPU use $(((t1 - t0) * 100 * 1000 / ($(getconf CLK_TCK) * (w1 - w0))))% of one core"
[ "$span" -ge $(((frames - 3) * 100)) ] ||
    qv_fail "$frames frames within $span ms, expected at least $(((frames - 3) * 100)) ms: one frame per generation, one generation per 100 ms"

# 50 x Right: 10 + 50 x 10 = 510 ms between checks. The first two frames after the presses
# may come from timers armed before they were handled.
# shellcheck disable=SC2046 # one key name per word
qv_key $(printf 'Right %.0s' $(seq 50))
qv_wait_frames 2
gaps=$(frame_gaps 6)
echo "after 50 x Right (510 ms): gaps between frames ${gaps//$'\n'/ } ms"
shortest=$(echo "$gaps" | sort -n | head -n 1)
[ "$shortest" -ge 450 ] ||
    qv_fail "after 50 x Right: frames $shortest ms apart, expected about 510 ms or more (a check every 510 ms)"

# 60 x Left: back to 10 ms, and the last 10 presses must not take it lower (below 10 ms the
# interval would wrap round and no frame would come at all).
# shellcheck disable=SC2046 # one key name per word
qv_key $(printf 'Left %.0s' $(seq 60))
qv_wait_frames 2
gaps=$(frame_gaps 11)
echo "after 60 x Left (10 ms, the minimum): gaps between frames ${gaps//$'\n'/ } ms"
shortest=$(echo "$gaps" | sort -n | head -n 1)
[ "$shortest" -lt 400 ] ||
    qv_fail "after 60 x Left: frames at least $shortest ms apart, expected the check back at 10 ms to draw them closer"
span=$(echo "$gaps" | awk '{ s += $1 } END { print s }')
[ "$span" -ge $(((11 - 3) * 100)) ] ||
    qv_fail "after 60 x Left: 11 frames within $span ms, expected one per generation at most"

qv_quit q

#!/usr/bin/env bash
# A long, random session: for SECONDS seconds the mouse moves and clicks at random and the keys
# r, Left, Right and Space (a restart, many of them) are pressed at random, then q. Passes if
# the program redraws throughout (the caption keeps changing), exits with status 0, and its
# resident memory at the end is at most 10% above what it was after the first restart, so
# restarts leak nothing. Usage: soak.sh QUOLVANE_BINARY [SECONDS]   (default 120)
# The actions come from a seed, printed at the start; QUOLVANE_SEED=<seed> repeats them.
#
# Left is pressed twice as often as Right, so the redraw check stays near its 10 ms start and
# a frame is due every 100 ms or so; the liveness deadline (QUOLVANE_DEADLINE_S) is far longer.
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY [SECONDS]}
duration_s=${2:-120}
max_growth_percent=10

seed=${QUOLVANE_SEED:-$(($(date +%s%N) % 1000000007))}
RANDOM=$seed
echo "soak for ${duration_s} s, seed $seed (set QUOLVANE_SEED=$seed to repeat)"

# Prints the program's resident memory in KiB.
rss_kib() {
    local v
    v=$(awk '/^VmRSS:/ { print $2 }' "/proc/$QV_PID/status" 2>/dev/null) || true
    [ -n "$v" ] || qv_fail "cannot read VmRSS from /proc/$QV_PID/status"
    echo "$v"
}

qv_launch "$bin"
qv_hover 400 300 >/dev/null

# The first restart, then the memory baseline once the new world is drawn.
qv_key space
qv_wait_frames 3
rss_base=$(rss_kib)
echo "resident memory after the first restart: ${rss_base} KiB"

restarts=1 clicks=0 turns=0 lefts=0 rights=0 moves=0 changes=0 rss_max=$rss_base
last=$(qv_caption)
last_change_ms=$(qv_now_ms)
end_ms=$(($(qv_now_ms) + duration_s * 1000))
while qv_before "$end_ms"; do
    # One batch: a mouse move and one to three random actions, sent by one xdotool call.
    x=$((RANDOM % QV_WINDOW_W)) y=$((RANDOM % QV_WINDOW_H))
    cmd=(mousemove --window "$WIN" "$x" "$y")
    moves=$((moves + 1))
    for ((k = RANDOM % 3; k >= 0; k--)); do
        r=$((RANDOM % 12))
        if [ $r -lt 3 ]; then
            cmd+=(click 1) clicks=$((clicks + 1))
        elif [ $r -lt 5 ]; then
            cmd+=(key --clearmodifiers r) turns=$((turns + 1))
        elif [ $r -lt 7 ]; then
            cmd+=(key --clearmodifiers Left) lefts=$((lefts + 1))
        elif [ $r -lt 8 ]; then
            cmd+=(key --clearmodifiers Right) rights=$((rights + 1))
        elif [ $r -lt 10 ]; then
            cmd+=(key --clearmodifiers space) restarts=$((restarts + 1))
        fi # else: only the move
    done
    xdotool "${cmd[@]}" || qv_fail "xdotool could not send: ${cmd[*]}"

    qv_alive || qv_fail "quolvane ended during the soak after $restarts restarts"
    now=$(qv_now_ms)
    c=$(qv_caption)
    if [ "$c" != "$last" ]; then
        [[ $c =~ $QV_CAPTION_RE ]] || qv_fail "unexpected caption during the soak: \"$c\""
        last=$c last_change_ms=$now changes=$((changes + 1))
    elif [ $((now - last_change_ms)) -gt $((QUOLVANE_DEADLINE_S * 1000)) ]; then
        qv_fail "the caption stayed \"$c\" for more than ${QUOLVANE_DEADLINE_S} s: no redraw (after $restarts restarts)"
    fi
    rss=$(rss_kib)
    [ "$rss" -gt "$rss_max" ] && rss_max=$rss
    sleep 0.05
done

# Let the last restart settle into a drawn frame before the final measure.
qv_wait_frames 3
rss_end=$(rss_kib)
echo "actions: $moves mouse moves, $clicks clicks, $turns r, $lefts Left, $rights Right," \
    "$restarts restarts; $changes caption changes seen"
echo "resident memory: ${rss_base} KiB after the first restart, ${rss_end} KiB at the end" \
    "($(((rss_end - rss_base) * 100 / rss_base))%), at most ${rss_max} KiB on the way"

qv_quit q 30
[ $((rss_end * 100)) -le $((rss_base * (100 + max_growth_percent))) ] ||
    qv_fail "resident memory grew from ${rss_base} KiB after the first restart to ${rss_end} KiB after $restarts restarts, more than ${max_growth_percent}%"
[ "$changes" -ge $((duration_s / 2)) ] ||
    qv_fail "only $changes caption changes in ${duration_s} s, expected at least $((duration_s / 2))"

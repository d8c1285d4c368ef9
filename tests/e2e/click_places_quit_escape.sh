#!/usr/bin/env bash
# A user waits until the balance covers any price, clicks on enemy or neutral ground, sees the
# glider placed there, and quits with Escape. Usage: click_places_quit_escape.sh QUOLVANE_BINARY
#
# How the placement shows: the caption prices the glider under the mouse. A placed glider
# makes its five cells the player's own (live ones cost nothing, dead ones 1000 each), and one
# generation later every one of them is still the player's, live or dead. So the price at the
# same spot falls to at most 5 x 1000 within the first frames after the click, from at least
# 17000 before it (one enemy cell, or several neutral ones). On screen, the stamp hands all
# nine cells of the glider's 3 x 3 block to the player; in the few generations the test looks
# at, a dead cell keeps that owner (it would take 22 generations among foreign cells to lose
# it), and only births from other players' parents can take cells away, so most of the block
# shows player 1's colours (live #c0a0a0, dead #400000).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY}

max_price=85000        # five enemy cells at 17000 each
own_price_max=5000     # five of the player's own dead cells at 1000 each
min_price_before=17000

qv_start_xvfb
qv_start "$bin"
qv_wait_window

# Waits at pixel (X, Y) for a frame whose balance covers the dearest placement and whose
# price shows foreign ground; prints that caption. The mouse moves on between tries.
wait_affordable_foreign_ground() {
    local end c pb price balance
    end=$(qv_deadline)
    c=$(qv_wait_caption "$QV_CAPTION_RE")
    while :; do
        c=$(qv_wait_caption_change "$c")
        pb=$(qv_price_balance "$c")
        price=${pb% *} balance=${pb#* }
        if [ "${balance%.*}" -ge "$max_price" ] && [ "${price%.*}" -ge "$min_price_before" ]; then
            printf '%s\n' "$c"
            return 0
        fi
        qv_before "$end" || qv_fail "no frame with balance >= $max_price and price >= $min_price_before within ${QV_DEADLINE_S} s; last: \"$c\""
    done
}

# Prints how many cells of the glider's 3 x 3 block at anchor (200, 150) show player 1's
# colours in screenshot FILE.
count_player1_cells() {
    local n=0 x y
    for ((y = 150; y <= 152; y++)); do
        for ((x = 200; x <= 202; x++)); do
            case $(qv_cell "$1" $x $y) in
            c0a0a0 | 400000) n=$((n + 1)) ;;
            esac
        done
    done
    echo $n
}

qv_mouse_to 400 300
before=$(wait_affordable_foreign_ground)
echo "before the click: $before"

xdotool click 1 || qv_fail "xdotool could not click"

# The frame already queued may predate the click, and a busy machine may skip a generation,
# so the drop must show within the next three frames.
c=$before
placed=""
for frame in 1 2 3; do
    c=$(qv_wait_caption_change "$c")
    echo "frame $frame after the click: $c"
    pb=$(qv_price_balance "$c")
    price=${pb% *}
    if [ "${price%.*}" -le "$own_price_max" ]; then
        placed=yes
        break
    fi
done
[ -n "$placed" ] ||
    qv_fail "click at cell (200, 150): the price there stayed above $own_price_max for three frames (before: \"$before\"), expected the placed glider to make the ground the player's own"

# The preview moves away; the placed cells stay in player 1's colours.
qv_mouse_to 900 500
qv_wait_frames 2
want=6
counts=""
for frame in 1 2 3; do
    qv_shoot_rgb "$qv_tmp/placed.rgb"
    own=$(count_player1_cells "$qv_tmp/placed.rgb")
    counts+=" $own"
    [ "$own" -ge $want ] && break
    [ $frame -lt 3 ] && qv_wait_frames 1
done
[ "$own" -ge $want ] ||
    qv_fail "after the click, the glider's 3 x 3 block at cell (200, 150) had player 1's colours in$counts of its 9 cells over three frames, expected at least $want"
echo "after the click, $own of the 9 cells of the glider's block at cell (200, 150) are player 1's"

qv_key Escape
qv_wait_exit 15
[ "$QV_STATUS" -eq 0 ] || qv_fail "Escape: got exit status $QV_STATUS, expected 0"
echo "Escape: quolvane ended with status 0"

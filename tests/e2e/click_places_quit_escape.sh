#!/usr/bin/env bash
# A user waits until the balance covers any price, clicks on enemy or neutral ground, sees the
# glider placed there, and quits with Escape. Usage: click_places_quit_escape.sh QUOLVANE_BINARY
#
# How the placement shows: the caption prices the glider under the mouse. A placed glider
# makes its five cells the player's own (live ones cost nothing, dead ones 1000 each), and one
# generation later every one of them is still the player's, live or dead. So the price at the
# same spot falls to at most 5 x 1000 within the first frames after the click, from at least
# 17000 before it (one enemy cell, or several neutral ones). On screen the preview still covers
# those five cells, but the stamp also hands the other four cells of the glider's 3 x 3 block
# to the player, as dead cells (#400000); the screenshot taken as soon as the price has fallen
# must show at least one of them in player 1's colours.
#
# The world goes on stepping meanwhile, and in the generations between the click and what the
# test sees, births from other players' cells can take the glider's cells over (on enemy
# ground, about one placement in a thousand within three generations, more when the test is
# slow to look). A placement that shows neither sign is therefore tried again elsewhere, up to
# three times: a program that does not place or draw fails every one.
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY}

max_price=85000        # five enemy cells at 17000 each
own_price_max=5000     # five of the player's own dead cells at 1000 each
min_price_before=17000
attempts=3

qv_launch "$bin"

# Waits with the mouse at pixel (X, Y) for a frame whose balance covers the dearest placement
# and whose price shows foreign ground; prints that caption.
wait_affordable_foreign_ground() {
    local end c pb price balance
    end=$(qv_deadline)
    c=$(qv_hover "$1" "$2")
    while :; do
        c=$(qv_wait_caption_change "$c")
        pb=$(qv_price_balance "$c")
        price=${pb% *} balance=${pb#* }
        if [ "${balance%.*}" -ge "$max_price" ] && [ "${price%.*}" -ge "$min_price_before" ]; then
            printf '%s\n' "$c"
            return 0
        fi
        qv_before "$end" || qv_fail "no frame with balance >= $max_price and price >= $min_price_before at pixel ($1, $2) within ${QUOLVANE_DEADLINE_S} s; last: \"$c\""
    done
}

# Prints how many of the four cells of the glider's block at anchor (CX, CY) that its preview
# leaves uncovered show player 1's colours in screenshot FILE.
count_stamped_dead_cells() {
    local n=0 xy
    for xy in 1,1 2,1 0,2 2,2; do
        case $(qv_cell "$1" $(($2 + ${xy%,*})) $(($3 + ${xy#*,}))) in
        c0a0a0 | 400000) n=$((n + 1)) ;;
        esac
    done
    echo $n
}

# Clicks with the mouse at pixel (X, Y) once the balance covers any price there; succeeds if
# the placement shows, else says why.
try_placement() {
    local px=$1 py=$2 cx=$(($1 / 2)) cy=$(($2 / 2)) before c pb price frame shown
    before=$(wait_affordable_foreign_ground "$px" "$py")
    echo "at cell ($cx, $cy), before the click: $before"
    xdotool click 1 || qv_fail "xdotool could not click"
    # The frame already queued may predate the click, and a busy machine may skip a
    # generation, so the drop must show within the next three frames.
    c=$before
    for frame in 1 2 3; do
        c=$(qv_wait_caption_change "$c")
        pb=$(qv_price_balance "$c")
        price=${pb% *}
        echo "frame $frame after the click: $c"
        if [ "${price%.*}" -le "$own_price_max" ]; then
            qv_shoot_rgb "$qv_tmp/placed.rgb"
            break
        fi
    done
    if [ "${price%.*}" -gt "$own_price_max" ]; then
        echo "the price at cell ($cx, $cy) stayed above $own_price_max for three frames"
        return 1
    fi
    shown=$(count_stamped_dead_cells "$qv_tmp/placed.rgb" "$cx" "$cy")
    if [ "$shown" -lt 1 ]; then
        echo "none of the four dead cells the stamp made player 1's shows player 1's colours"
        return 1
    fi
    echo "placed at cell ($cx, $cy): the price fell to ${price%.*}, and $shown of the four dead cells of the stamp show player 1's colours"
}

spots=("400 300" "840 260" "300 520")
placed=""
for ((attempt = 0; attempt < attempts; attempt++)); do
    # shellcheck disable=SC2086
    if try_placement ${spots[$attempt]}; then
        placed=yes
        break
    fi
done
[ -n "$placed" ] || qv_fail "no placement showed in $attempts attempts"

qv_quit Escape

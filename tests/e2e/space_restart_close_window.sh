#!/usr/bin/env bash
# A user lets the world run until player 1 has earned a good balance, presses Space for a new
# random world, and closes the window the way a window manager does (WM_DELETE_WINDOW).
# Usage: space_restart_close_window.sh QUOLVANE_BINARY X11_CLOSE_WINDOW_HELPER
#
# A new world starts every balance at 0, so after Space the caption's balance falls below the
# last one shown before it, and stays below it for as many generations as the first world took
# to earn that much. The first world is the same at every start (the random fill is never
# seeded), and its balance for player 1 only grows until long after it first passes 250000 (at
# about generation 32; the first fall comes near generation 236), so a lower balance can only
# come from the new world, however many frames the test misses.
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY X11_CLOSE_WINDOW_HELPER}
close_window=${2:?usage: $0 QUOLVANE_BINARY X11_CLOSE_WINDOW_HELPER}

grown_balance=250000

qv_launch "$bin"
end=$(qv_deadline)
c=$(qv_hover 400 300)
while :; do
    pb=$(qv_price_balance "$c")
    old_balance=${pb#* }
    [ "${old_balance%.*}" -ge $grown_balance ] && break
    qv_before "$end" || qv_fail "balance never reached $grown_balance within ${QUOLVANE_DEADLINE_S} s; last caption: \"$c\""
    c=$(qv_wait_caption_change "$c")
done
qv_shoot_rgb "$qv_tmp/old.rgb"
echo "before Space: $c"

qv_key space
end=$(qv_deadline)
while :; do
    c=$(qv_wait_caption_change "$c")
    pb=$(qv_price_balance "$c")
    new_balance=${pb#* }
    [ "${new_balance%.*}" -lt "${old_balance%.*}" ] && break
    qv_before "$end" || qv_fail "Space: the balance stayed at or above $old_balance for ${QUOLVANE_DEADLINE_S} s; last caption: \"$c\""
done
echo "after Space: $c"

qv_shoot_rgb "$qv_tmp/new.rgb"
changed=$(cmp -l "$qv_tmp/old.rgb" "$qv_tmp/new.rgb" | wc -l || true)
total=$((QV_WINDOW_W * QV_WINDOW_H * 3))
[ $((changed * 4)) -ge $total ] ||
    qv_fail "Space: only $changed of $total screenshot bytes changed, expected a new world to change at least a quarter"
echo "Space: $changed of $total screenshot bytes changed"
qv_wait_preview 200 150 0
echo "the preview is still under the mouse in the new world"

"$close_window" "$WIN" || qv_fail "could not ask window $WIN to close"
qv_wait_exit 15
[ "$QV_STATUS" -eq 0 ] || qv_fail "closing the window: got exit status $QV_STATUS, expected 0"
echo "closing the window: quolvane ended with status 0"

#!/usr/bin/env bash
# A user sees the window and the cost caption, clicks where the balance covers the price, sees
# the balance drop by the payment, and quits with q (exit status 0).
# Usage: click_pays_quit_q.sh QUOLVANE_BINARY
# (run through QUOLVANE_EMULATOR if set, see scripts/lib/xsession.sh)
#
# Between frames the balance moves by the world's own credit flows (upkeep, births, deaths), and
# early in a game it mostly rises, by less as the game goes on. So the test clicks only once the
# price is over four times the largest rise over the last three frames: the payment then shows
# as a drop below the balance before the click within the three frames it may take to appear.
# (The rise is taken from recent frames only: a busy machine that misses frames early on would
# otherwise keep a large early rise for ever and never find a price high enough.)
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY}

qv_launch "$bin"
c=$(qv_hover 400 300)
echo "window shown with the cost caption: $c"

end=$(qv_deadline)
pb=$(qv_price_balance "$c")
last=${pb#* }
steps=()
while :; do
    c=$(qv_wait_caption_change "$c")
    pb=$(qv_price_balance "$c")
    price=${pb% *} balance=${pb#* }
    steps+=($((${balance%.*} - ${last%.*})))
    [ ${#steps[@]} -le 3 ] || steps=("${steps[@]:1}")
    last=$balance
    rise=0
    for step in "${steps[@]}"; do
        [ "$step" -gt "$rise" ] && rise=$step
    done
    [ ${#steps[@]} -ge 3 ] && [ "${balance%.*}" -ge "${price%.*}" ] &&
        [ "${price%.*}" -gt $((4 * rise)) ] && break
    qv_before "$end" || qv_fail "no frame whose balance covers a price over 4 x $rise (the largest rise over the last three frames) within ${QUOLVANE_DEADLINE_S} s; last: \"$c\""
done
before=$c
paid=${price%.*}
echo "before the click: $before (largest rise over the last three frames: $rise)"

xdotool click 1 || qv_fail "xdotool could not click"
now=""
for frame in 1 2 3; do
    c=$(qv_wait_caption_change "$c")
    pb=$(qv_price_balance "$c")
    now=${pb#* }
    echo "frame $frame after the click: $c"
    [ "${now%.*}" -lt "${balance%.*}" ] && break
done
[ "${now%.*}" -lt "${balance%.*}" ] ||
    qv_fail "click at a price of $paid with a balance of $balance: the balance was $now three frames later, expected it below $balance"
echo "the click paid: balance $balance before, $now after"

qv_quit q

# shellcheck shell=bash
# What only the end-to-end tests need on top of the X session helpers of
# scripts/lib/xsession.sh, which this sources: the price and balance in the caption, the
# window's pixels, and the glider preview.

# shellcheck source=SCRIPTDIR/../../scripts/lib/xsession.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/xsession.sh"

QV_PREVIEW_RGB=c0a0a0 # player 1's live colour, which the brush preview uses

# Prints the price and the balance of a cost caption, separated by a space.
qv_price_balance() {
    [[ $1 =~ Build\ cost:\ ([0-9.]+)\ \(([0-9.]+)\) ]] || qv_fail "not a cost caption: \"$1\""
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
}

# Saves the window's pixels to FILE as raw 8-bit RGB, row by row.
qv_shoot_rgb() {
    local size
    import -window "$WIN" -depth 8 "rgb:$1" 2>"$qv_tmp/import.err" ||
        qv_fail "import could not grab window $WIN: $(cat "$qv_tmp/import.err")"
    size=$(stat -c %s "$1")
    [ "$size" -eq $((QV_WINDOW_W * QV_WINDOW_H * 3)) ] ||
        qv_fail "screenshot has $size bytes, expected $((QV_WINDOW_W * QV_WINDOW_H * 3)) (${QV_WINDOW_W}x${QV_WINDOW_H} RGB)"
}

# Prints the colour of world cell (CX, CY): the colour of its 2 x 2 pixel block, or "mixed"
# when the four pixels differ.
qv_cell() {
    local f=$1 px=$(($2 * 2)) py=$(($3 * 2)) top bottom
    top=$(od -An -tx1 -v -j $(((py * QV_WINDOW_W + px) * 3)) -N 6 "$f" | tr -d ' \n')
    bottom=$(od -An -tx1 -v -j $((((py + 1) * QV_WINDOW_W + px) * 3)) -N 6 "$f" | tr -d ' \n')
    if [ "$top" = "$bottom" ] && [ "${top:0:6}" = "${top:6:6}" ]; then
        echo "${top:0:6}"
    else
        echo mixed
    fi
}

# Prints the cells "X,Y" that the glider (rows 111, 100, 010) covers when anchored at cell
# (CX, CY) and turned ROT quarter turns: the mapping used for the preview and for placing.
qv_glider_cells() {
    local cx=$1 cy=$2 rot=$(($3 & 3)) ij i j
    for ij in 0,0 0,1 0,2 1,0 2,1; do
        i=${ij%,*} j=${ij#*,}
        case $rot in
        0) echo "$((cx + j)),$((cy + i))" ;;
        1) echo "$((cx + i)),$((cy + 3 - j))" ;;
        2) echo "$((cx + 3 - j)),$((cy + 3 - i))" ;;
        3) echo "$((cx + 3 - i)),$((cy + j))" ;;
        esac
    done
}

# Counts how many of the glider cells for anchor (CX, CY) and turn ROT have the preview colour
# in screenshot FILE.
qv_count_preview_cells() {
    local f=$1 n=0 xy
    for xy in $(qv_glider_cells "$2" "$3" "$4"); do
        [ "$(qv_cell "$f" "${xy%,*}" "${xy#*,}")" = "$QV_PREVIEW_RGB" ] && n=$((n + 1))
    done
    echo $n
}

# Waits until a screenshot shows the glider preview anchored at cell (CX, CY) turned ROT
# quarter turns, all five cells in the preview colour, and no other turn of it complete there.
# Polls because a world cell of player 1 has the same colour and may complete a wrong turn.
qv_wait_preview() {
    local cx=$1 cy=$2 rot=$3 end f="$qv_tmp/preview.rgb" r n c counts
    end=$(qv_deadline)
    while :; do
        qv_shoot_rgb "$f"
        counts="" n=0
        for r in 0 1 2 3; do
            c=$(qv_count_preview_cells "$f" "$cx" "$cy" $r)
            counts+=" turn $r: $c/5;"
            if [ $r -eq $((rot & 3)) ]; then
                [ "$c" -eq 5 ] && n=$((n + 1))
            else
                [ "$c" -lt 5 ] && n=$((n + 1))
            fi
        done
        [ $n -eq 4 ] && return 0
        qv_alive || qv_fail "quolvane ended while waiting for the preview"
        qv_before "$end" || qv_fail "no glider preview turned $rot at cell ($cx, $cy) within ${QUOLVANE_DEADLINE_S} s; preview-coloured cells for each turn:$counts"
        sleep 0.05
    done
}

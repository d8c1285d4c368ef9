#!/usr/bin/env bash
# A user starts quolvane, reads the caption, moves the mouse and sees the glider preview under
# it, turns it with r (four turns bring it back), pushes it into the bottom-right corner, and
# quits with q. Usage: preview_turn_quit_q.sh QUOLVANE_BINARY
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY}

qv_launch "$bin"

geometry=$(xdotool getwindowgeometry "$WIN" | sed -n 's/.*Geometry: //p')
[ "$geometry" = "${QV_WINDOW_W}x${QV_WINDOW_H}" ] ||
    qv_fail "window size: got $geometry, expected ${QV_WINDOW_W}x${QV_WINDOW_H} (640 x 360 cells of 2 x 2 pixels)"
echo "window $WIN is $geometry on $DISPLAY"

# Pixel (400, 300) is cell (200, 150), where the glider's anchor goes.
caption=$(qv_hover 400 300)
echo "caption: $caption"

qv_wait_preview 200 150 0
echo "preview: the glider as stored (rows 111, 100, 010) at cell (200, 150) in #$QV_PREVIEW_RGB"

qv_key r
qv_wait_preview 200 150 1
echo "r: the preview turned a quarter (columns 200..202, rows 151..153)"

qv_key r r r
qv_wait_preview 200 150 0
echo "r r r: four turns in all bring the preview back as stored"

# The mouse at the bottom-right corner: the clamp puts the anchor at cell (636, 356), so the
# turned preview still fits within column 639 and row 359.
qv_key r
qv_mouse_to $((QV_WINDOW_W - 1)) $((QV_WINDOW_H - 1))
qv_wait_preview 636 356 1
echo "corner: the turned preview is clamped to anchor cell (636, 356) and stays inside the window"

qv_quit q

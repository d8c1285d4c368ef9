#!/usr/bin/env bash
# Runs quolvane for a while in a virtual X server (Xvfb) of its own, with the mouse over the
# window so the glider preview shows, saves a screenshot of the window, quits with q and stops
# the X server. For machines without a display.
# Usage: headless-shot.sh QUOLVANE_BINARY OUTPUT.png SECONDS
set -euo pipefail
bin=${1:?usage: $0 QUOLVANE_BINARY OUTPUT.png SECONDS}
out=${2:?usage: $0 QUOLVANE_BINARY OUTPUT.png SECONDS}
seconds=${3:?usage: $0 QUOLVANE_BINARY OUTPUT.png SECONDS}
here=$(cd "$(dirname "$0")" && pwd)

for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing: run $here/deps.sh (it installs xvfb, xdotool and imagemagick)" >&2
        exit 1
    }
done

# Xvfb, the program and the clean-up on exit (even on failure) are shared with the tests.
# shellcheck source=SCRIPTDIR/lib/xsession.sh
source "$here/lib/xsession.sh"

qv_launch "$bin"
echo "quolvane is running on the virtual display $DISPLAY; taking a screenshot in $seconds s."

# The mouse in the middle of the window, where the preview then sits.
qv_hover $((QV_WINDOW_W / 2)) $((QV_WINDOW_H / 2)) >/dev/null
end=$(qv_deadline "$seconds")
while qv_before "$end"; do
    qv_alive || qv_fail "quolvane ended by itself before the screenshot"
    sleep 0.2
done
# A frame drawn after the wait, so the screenshot shows the preview under the mouse.
qv_wait_frames 2
caption=$(qv_caption)

mkdir -p "$(dirname "$out")"
import -window "$WIN" "png:$out" 2>"$qv_tmp/import.err" ||
    qv_fail "import could not save the screenshot: $(cat "$qv_tmp/import.err")"

qv_quit q >/dev/null
echo "Caption: $caption"
echo "Screenshot saved to $(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

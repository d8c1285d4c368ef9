#!/usr/bin/env bash
# Starts the game. Without a display, runs it for a few seconds in a virtual X server instead
# and saves a screenshot, so a headless machine still shows the program working.
set -euo pipefail
bin=${1:-build/quolvane}
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$bin"
fi
echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): running quolvane for a few seconds in a virtual X server."
out="$(dirname "$bin")/quolvane.png"
exec "$(dirname "$0")/headless-shot.sh" "$bin" "$out" 5

#!/usr/bin/env bash
# Makes docs/screenshot.png: the running game in a virtual X server, with the glider preview
# under the mouse in the middle of the window. Builds the program first if it is missing.
# Usage: screenshot.sh [QUOLVANE_BINARY] (default build/quolvane)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/quolvane}
if [ ! -x "$bin" ]; then
    make -C "$root" build
fi
exec "$root/scripts/headless-shot.sh" "$bin" "$root/docs/screenshot.png" 5

#!/usr/bin/env bash
# The end-to-end tests again, with the program running on the classic SDL 1.2.15 library
# instead of the installed sdl12-compat, as users of either get it. The classic library is
# unpacked into a temporary folder (scripts/classic-sdl.sh), never installed; if it cannot be
# downloaded, this says so in one line and skips the pass.
# Usage: scripts/e2e-classic-sdl.sh [BUILD_DIR] [JOBS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
jobs=${2:-2}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-sdl12.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
if ! lib=$("$here/scripts/classic-sdl.sh" "$tmp" 2>"$tmp/why"); then
    echo "== End-to-end tests on the classic SDL 1.2: skipped ($(cat "$tmp/why"))"
    exit 0
fi
# The program must really load the classic library, or this pass would repeat the first.
loaded=$(LD_LIBRARY_PATH="$lib" ldd "$build/quolvane" | awk '/libSDL-1.2.so.0/ { print $3 }')
case $loaded in
"$lib"/*) ;;
*) echo "classic SDL 1.2: the program loads $loaded, not the library in $lib" >&2; exit 1 ;;
esac
echo "== End-to-end tests on the classic SDL 1.2 ($lib/libSDL-1.2.so.0)"
cd "$build"
QUOLVANE_SDL_LIB_DIR="$lib" ctest --output-on-failure -j"$jobs" -L e2e

#!/usr/bin/env bash
# `make web`: builds the page into build-web/ with emscripten: index.html, its service worker
# (sw.js), its manifest and icons, and the program four times: quolvane.js (+ .wasm, .worker.js)
# with the portable step and quolvane-simd128.js with the WebAssembly SIMD step, both running the
# engine's worker on a thread of its own, and quolvane-coop.js and quolvane-simd128-coop.js
# (+ .wasm), the same running it as a task on the page's thread, for browsers and pages without
# shared memory. The page picks the one that suits the browser. build-web/ then holds only the
# files to serve, and quolvane-web-<version>.zip of exactly those, ready to upload to any static
# host.
#
# Usage: scripts/web.sh [--tests]
#   --tests  also builds the world and engine tests that run under node (make test-web), in the
#            simd128 and simd128-coop trees
#
# Installs emscripten (and nodejs, cmake, make, rsvg-convert) with apt-get first when missing,
# saying so (through sudo when not root). Each build has a CMake tree of its own under
# build-web-trees/ (portable/, simd128/, portable-coop/, simd128-coop/); the desktop build in
# build/ is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
out="build-web"
tests=OFF
[ "${1:-}" = "--tests" ] && tests=ON

# Debian's emcc runs its JavaScript parts with node, which must find Debian's node modules
# (acorn); a node that does not come from Debian does not look there by itself.
export NODE_PATH="/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}"

# What the build runs, and the Debian package that brings each.
need=()
for tool in emcc:emscripten node:nodejs cmake:cmake make:make python3:python3 rsvg-convert:librsvg2-bin; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
if [ ${#need[@]} -gt 0 ]; then
    command -v apt-get >/dev/null ||
        { echo "web: ${need[*]} missing, and there is no apt-get to install them with" >&2; exit 1; }
    # shellcheck source=SCRIPTDIR/lib/apt.sh
    source scripts/lib/apt.sh
    echo "web: installing ${need[*]} with apt-get"
    { qv_apt_get update -qq && qv_apt_get install -y -qq --no-install-recommends "${need[@]}"; } \
        >/dev/null || { echo "web: cannot install ${need[*]} with apt-get" >&2; exit 1; }
fi
echo "web: $(emcc --version | head -n 1)"

# Configures and builds one program by its preset (web-NAME in CMakePresets.json, which says
# its file name, step and kind), with or without the node tests (ON/OFF).
build() {
    local name=$1 with_tests=$2
    cmake --preset "web-$name" -DQUOLVANE_WEB_TESTS="$with_tests" >/dev/null
    cmake --build --preset "web-$name" -j"${JOBS:-2}"
}
# The trees lived in build-web/ once: they go, so that nothing but the page is served from there.
for old in "$out/portable" "$out/simd128"; do
    [ -f "$old/CMakeCache.txt" ] && rm -rf "$old"
done
build portable OFF
build simd128 "$tests"
build portable-coop OFF
build simd128-coop "$tests"

# The files to serve, as one archive: everything in build-web/ but archives.
version=$(sed -n "s/^const CACHE = 'quolvane-\(.*\)';$/\1/p" "$out/sw.js")
[ -n "$version" ] || { echo "web: no version in $out/sw.js" >&2; exit 1; }
rm -f "$out"/quolvane-web-*.zip
(
    cd "$out"
    files=()
    for f in *; do [ -f "$f" ] && [[ "$f" != *.zip ]] && files+=("$f"); done
    cmake -E tar cf "quolvane-web-$version.zip" --format=zip "${files[@]}"
)
echo "web: the page is in $out/, and as $out/quolvane-web-$version.zip (make web-serve serves it)"

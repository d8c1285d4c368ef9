#!/usr/bin/env bash
# `make web`: builds the page into build-web/ with emscripten: index.html, and the program twice,
# quolvane.js (+ .wasm, .worker.js) with the portable step and quolvane-simd128.js with the
# WebAssembly SIMD step; the page loads the second where the browser has SIMD.
#
# Usage: scripts/web.sh [--tests]
#   --tests  also builds the world and engine tests that run under node (make test-web)
#
# Installs emscripten (and nodejs, cmake, make) with apt-get first when missing, saying so
# (through sudo when not root). Each build has a tree of its own under build-web/ (portable/,
# simd128/); the desktop build in build/ is not touched.
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
for tool in emcc:emscripten node:nodejs cmake:cmake make:make python3:python3; do
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

# Configures and builds one program: tree name, program file name, SIMD step (ON/OFF), tests.
build() {
    local name=$1 program=$2 simd=$3 with_tests=$4
    # (emcmake names the command it runs on standard error: left out, errors are kept.)
    emcmake cmake -S . -B "$out/$name" -DCMAKE_BUILD_TYPE=Release \
        -DQUOLVANE_WEB_OUT="$PWD/$out" -DQUOLVANE_WEB_NAME="$program" \
        -DQUOLVANE_WASM_SIMD="$simd" -DQUOLVANE_WEB_TESTS="$with_tests" 2>&1 >/dev/null |
        { grep -v '^configure: ' || true; } >&2
    cmake --build "$out/$name" -j"${JOBS:-2}"
}
build portable quolvane OFF OFF
build simd128 quolvane-simd128 ON "$tests"
echo "web: the page is in $out/ (make web-serve serves it)"

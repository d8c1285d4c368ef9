#!/usr/bin/env bash
# `make test-web`: the tests of the page and its WebAssembly program.
#   1. installs what is missing, saying so: emscripten, nodejs, chromium, firefox-esr,
#      WebKitGTK's driver and browser, Xvfb, GoogleTest's sources, rsvg-convert (apt-get, through
#      sudo when not root), and playwright-core, puppeteer-core and selenium-webdriver at the
#      versions tests/web's lock file holds (npm ci; they drive Debian's chromium, firefox-esr
#      and WebKitGTK's MiniBrowser and never download a browser or a driver);
#   2. builds the page and its four programs into build-web/, and the node tests (scripts/web.sh);
#   3. runs the world and engine tests under node (CTest in build-web-trees/simd128/, and the
#      engine's and the tasks' in build-web-trees/simd128-coop/ for the cooperative build): the step
#      against the model with the SIMD128 and the portable build, the engine and its worker,
#      the SDL calls the build supplies; then prints the step's speed with each build;
#   4. checks web/serve.py's refusals (node --test tests/web/serve.test.mjs);
#   5. runs the page in headless Chromium, in headless Firefox, then in WebKitGTK in an Xvfb of
#      its own, against web/serve.py on a free loopback port (node --test tests/web/page.test.mjs,
#      QUOLVANE_BROWSER=firefox, webkit).
# Stops with one line at the first thing it cannot do.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
say() { echo "test-web: $*"; }
fail() { echo "test-web: $*" >&2; exit 1; }

packages=(emscripten nodejs npm chromium firefox-esr webkit2gtk-driver libwebkit2gtk-4.1-0 xvfb
    libgtest-dev librsvg2-bin python3 cmake make)
missing=()
native=$(dpkg --print-architecture)
for p in "${packages[@]}"; do
    # One line per installed architecture (make test-arm64 adds arm64 ones): the native counts.
    dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
        grep -Eq "^install ok installed ($native|all)$" || missing+=("$p")
done
# A node that did not come from Debian (nodesource's, say) brings its own npm: then Debian's
# npm package is neither needed nor installable beside it.
if [[ " ${missing[*]} " == *" npm "* ]] && command -v npm >/dev/null; then
    missing=("${missing[@]/npm/}")
fi
if [[ " ${missing[*]} " == *" nodejs "* ]] && command -v node >/dev/null; then
    missing=("${missing[@]/nodejs/}")
fi
read -r -a missing <<<"${missing[*]}"
if [ ${#missing[@]} -gt 0 ]; then
    command -v apt-get >/dev/null || fail "cannot install ${missing[*]}: there is no apt-get here"
    # shellcheck source=SCRIPTDIR/lib/apt.sh
    source scripts/lib/apt.sh
    log=$(mktemp "${TMPDIR:-/tmp}/quolvane-web-apt.XXXXXX")
    trap 'rm -f "$log"' EXIT
    say "installing ${missing[*]} (apt-get)"
    qv_apt_get update -qq >"$log" 2>&1 ||
        fail "cannot update apt's package lists: $(grep -E '^(E|Err):' "$log" | tail -n 1)"
    qv_apt_get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 ||
        fail "cannot install ${missing[*]}: $(grep -E '^(E|Err):' "$log" | tail -n 1)"
fi
command -v chromium >/dev/null || fail "chromium is not on PATH after installing it"
command -v firefox-esr >/dev/null || fail "firefox-esr is not on PATH after installing it"

if ! (cd tests/web && npm ls --depth=0 >/dev/null 2>&1); then
    say "installing playwright-core, puppeteer-core and selenium-webdriver from" \
        "tests/web/package-lock.json (npm ci)"
    (cd tests/web && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 \
        npm ci --no-audit --no-fund --loglevel=error) ||
        fail "npm ci in tests/web could not install the browsers' drivers"
fi
say "tools ready after $(($(date +%s) - start)) s; $(chromium --version 2>/dev/null | head -n 1);" \
    "$(firefox-esr --version 2>/dev/null | head -n 1)"

./scripts/web.sh --tests

say "the world and the engine under node ($(node --version))"
ctest --preset web-simd128 -j"${JOBS:-2}"
say "the engine with its worker as a task on the page's thread, under node"
ctest --preset web-simd128-coop -j"${JOBS:-2}"

say "the step's speed under node, per build:"
while read -r build; do
    QUOLVANE_STEP_ISA=$build node --no-experimental-fetch build-web-trees/simd128/web_step.js
done < <(node --no-experimental-fetch build-web-trees/simd128/step_builds_here.js)

say "web/serve.py's refusals"
(cd tests/web && node --test serve.test.mjs)

for browser in chromium firefox webkit; do
    say "the page in ${browser^}"
    (cd tests/web && QUOLVANE_BROWSER=$browser QUOLVANE_WEB_DIR="$PWD/../../build-web" \
        node --test page.test.mjs)
done
say "done in $(($(date +%s) - start)) s"

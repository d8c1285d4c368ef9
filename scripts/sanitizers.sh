#!/usr/bin/env bash
# The unit tests again under the sanitizers: AddressSanitizer with UndefinedBehaviorSanitizer
# (halting on the first report) over the world, engine and front-end tests, and
# ThreadSanitizer over the engine and front-end tests. Each sanitizer has its own build folder,
# reused between runs; the presets asan and tsan of CMakePresets.json configure, build and test
# them. The differential tests run with fewer iterations here.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

# Unit test targets that exist in this tree.
targets() {
    for t in "$@"; do
        [ -f "tests/$t.cpp" ] && printf '%s ' "$t"
    done
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
# shellcheck disable=SC2046
cmake --build --preset asan -j"$jobs" --target $(targets test_cellauto test_engine test_frontend test_sdl_faults test_bad_input)
ctest --preset asan -j"$jobs"

echo "== ThreadSanitizer"
cmake --preset tsan >/dev/null
# shellcheck disable=SC2046
cmake --build --preset tsan -j"$jobs" --target $(targets test_engine test_frontend test_sdl_faults)
ctest --preset tsan -j"$jobs"

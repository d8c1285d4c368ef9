#!/usr/bin/env bash
# The unit tests again under the sanitizers: AddressSanitizer with UndefinedBehaviorSanitizer
# (halting on the first report) over the world, engine and front-end tests, and
# ThreadSanitizer over the engine and front-end tests. Each sanitizer has its own build folder,
# reused between runs. The differential tests run with fewer iterations here.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
root=$(pwd)

configure() {  # folder, flags
    cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOLVANE_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="$2 -fno-omit-frame-pointer" -DCMAKE_C_FLAGS="$2 -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS="$2" -DCMAKE_SHARED_LINKER_FLAGS="$2" >/dev/null
}

# Unit test targets that exist in this tree.
targets() {
    for t in "$@"; do
        [ -f "tests/$t.cpp" ] && printf '%s ' "$t"
    done
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan "-fsanitize=address,undefined -fno-sanitize-recover=all"
# shellcheck disable=SC2046
cmake --build build-asan -j"$jobs" --target $(targets test_cellauto test_engine test_frontend test_sdl_faults test_bad_input)
(cd build-asan && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1 \
    LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 QUOLVANE_DIFF_SCALE=0.25 \
    ctest --output-on-failure -j"$jobs" -LE 'e2e|package' -E NOT_BUILT)

echo "== ThreadSanitizer"
configure build-tsan "-fsanitize=thread"
# shellcheck disable=SC2046
cmake --build build-tsan -j"$jobs" --target $(targets test_engine test_frontend test_sdl_faults)
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp" \
    ctest --output-on-failure -j"$jobs" -LE 'e2e|package' -E NOT_BUILT)

#!/usr/bin/env bash
# `make test-arm64`: the tests on 64-bit ARM (AArch64), on this x86-64 machine. Cross-builds the
# program and its unit tests into build-arm64/ with cmake/aarch64-linux-gnu.cmake and runs them
# under qemu-aarch64: the world against the model with each AArch64 build of the step, the
# engine tests, the front-end tests on SDL's dummy driver, and one session of the real arm64
# program in Xvfb. Sanitizers, valgrind and the fuzzer stay with `make test`.
#
# Installs what is missing first, saying what it does: the cross compiler and qemu, and, through
# Debian's multiarch (arm64 added to dpkg's architectures), the arm64 libraries the program and
# the tests link. Before it installs any arm64 package it asks apt for a dry run, and stops if
# that would remove a package: an arm64 package that cannot sit beside its amd64 twin would take
# the native build's place. Uses sudo when not root.
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-arm64"
start=$(date +%s)

host_packages=(cmake make pkg-config g++-aarch64-linux-gnu qemu-user xvfb xdotool)
arm64_packages=(libsdl1.2-compat-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64)

# shellcheck source=SCRIPTDIR/lib/apt.sh
source scripts/lib/apt.sh
log=$(mktemp "${TMPDIR:-/tmp}/quolvane-arm64-apt.XXXXXX")
trap 'rm -f "$log"' EXIT

# Stops with one line: what could not be installed, and apt's last error.
cannot_install() {
    echo "test-arm64: cannot install $1: $(grep -E '^(E|Err):' "$log" | tail -n 1)" >&2
    exit 1
}

# Prints the packages of the arguments that are not installed, separated by spaces.
missing() {
    local p out=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            out+=("$p")
    done
    echo "${out[*]}"
}

need_host=$(missing "${host_packages[@]}")
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "test-arm64: adding arm64 to dpkg's architectures (dpkg --add-architecture arm64)"
    qv_as_root dpkg --add-architecture arm64 ||
        { echo "test-arm64: cannot add arm64 to dpkg's architectures" >&2; exit 1; }
    need_arm64="${arm64_packages[*]}"
else
    need_arm64=$(missing "${arm64_packages[@]}")
fi
if [ -n "$need_host$need_arm64" ]; then
    echo "test-arm64: apt-get update (with arm64)"
    qv_apt_get update -qq >"$log" 2>&1 || cannot_install "the package lists"
fi
if [ -n "$need_host" ]; then
    echo "test-arm64: installing $need_host"
    # shellcheck disable=SC2086
    qv_apt_get install -y -qq --no-install-recommends $need_host >"$log" 2>&1 ||
        cannot_install "$need_host"
fi
if [ -n "$need_arm64" ]; then
    echo "test-arm64: dry run: apt-get -s install $need_arm64"
    # shellcheck disable=SC2086
    qv_apt_get -s install -y --no-install-recommends $need_arm64 >"$log" 2>&1 ||
        cannot_install "$need_arm64"
    removed=$(sed -n 's/^Remv \([^ ]*\).*/\1/p' "$log" | paste -sd ' ')
    if [ -n "$removed" ]; then
        echo "test-arm64: cannot install $need_arm64: it would remove $removed" >&2
        exit 1
    fi
    # An arm64 library must have its amd64 twin's version, so apt may upgrade the amd64 one.
    echo "test-arm64: installing $need_arm64: $(grep -c '^Inst ' "$log") packages, of which" \
        "$(grep -c '^Inst [^ ]* \[' "$log") upgrade installed ones; none removed"
    # shellcheck disable=SC2086
    qv_apt_get install -y -qq --no-install-recommends $need_arm64 >"$log" 2>&1 ||
        cannot_install "$need_arm64"
fi
echo "test-arm64: packages ready after $(($(date +%s) - start)) s"

echo "test-arm64: cross-building into $build/"
cmake --preset arm64 -B "$build" >/dev/null
cmake --build "$build" -j"${JOBS:-2}"
# The ELF header's machine field (bytes 18 and 19) is 183 for AArch64.
machine=$(od -An -tu2 -j18 -N2 "$build/quolvane" | tr -d ' ')
[ "$machine" = 183 ] ||
    { echo "test-arm64: $build/quolvane is not an AArch64 program (ELF machine $machine)" >&2; exit 1; }

echo "test-arm64: running the tests under qemu-aarch64"
(cd "$build" && ctest --output-on-failure -j"${JOBS:-2}")
echo "test-arm64: done in $(($(date +%s) - start)) s"

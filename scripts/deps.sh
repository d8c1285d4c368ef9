#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests, the package and the headless run need
# and is missing. Runs apt-get update only when something must be installed; uses sudo when not
# root. Without apt-get it installs nothing: it names what is missing in one line and stops.
set -euo pipefail

if ! command -v apt-get >/dev/null; then
    cxx=${CXX:-c++}
    # Prints ITEM if the compiler cannot compile the C++17 source on standard input.
    unless_compiles() { "$cxx" -std=c++17 -fsyntax-only -x c++ - >/dev/null 2>&1 || printf '%s, ' "$1"; }
    build=$(
        pkg-config --exists sdl 2>/dev/null || printf 'SDL 1.2 development files (pkg-config sdl), '
        command -v cmake >/dev/null || printf 'CMake, '
        if command -v "$cxx" >/dev/null; then
            unless_compiles "a C++17 compiler ($cxx)" <<<'#include <optional>
std::optional<int> o;'
        else
            printf 'a C++17 compiler (c++, or name it in CXX), '
        fi
    )
    tests=$(
        if command -v "$cxx" >/dev/null; then
            unless_compiles GoogleTest <<<'#include <gtest/gtest.h>'
        else
            printf 'GoogleTest, '
        fi
        command -v Xvfb >/dev/null || printf 'Xvfb, '
        command -v xdotool >/dev/null || printf 'xdotool, '
        command -v import >/dev/null || printf 'ImageMagick, '
    )
    [ -z "$build$tests" ] && exit 0
    line="No apt-get here to install packages with; install by hand: ${build%, }"
    [ -z "$tests" ] || line+="${build:+; and }for the tests: ${tests%, }"
    echo "$line." >&2
    exit 1
fi

packages=(
    g++ make cmake pkg-config
    libsdl1.2-compat-dev
    libgtest-dev libbenchmark-dev
    xvfb xdotool imagemagick x11-utils desktop-file-utils libx11-dev
    clang libclang-rt-14-dev clang-format valgrind
    # make package and its checks
    dpkg-dev librsvg2-bin lintian appstream groff-base
)

missing=()
native=$(dpkg --print-architecture)
for p in "${packages[@]}"; do
    # One status line per installed architecture: with arm64 packages beside the native ones
    # (make test-arm64) a package may be listed twice, and only the native one counts.
    if ! dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
        grep -Eq "^install ok installed ($native|all)$"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
# shellcheck source=SCRIPTDIR/lib/apt.sh
source "$(dirname "$0")/lib/apt.sh"
qv_apt_get update -qq
qv_apt_get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the headless run need and is missing.
# Runs apt-get update only when something must be installed; uses sudo when not root.
set -euo pipefail

packages=(
    g++ make cmake pkg-config
    libsdl1.2-compat-dev
    libgtest-dev libbenchmark-dev
    xvfb xdotool imagemagick x11-utils desktop-file-utils libx11-dev
    clang libclang-rt-14-dev valgrind
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null

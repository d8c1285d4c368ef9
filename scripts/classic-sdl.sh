#!/usr/bin/env bash
# Unpacks the classic SDL 1.2.15 library (Debian's libsdl1.2debian), with any of its libraries
# that this machine lacks, into FOLDER and prints the folder that holds libSDL-1.2.so.0, for
# LD_LIBRARY_PATH. Nothing is installed: the packages are fetched with `apt-get download` and
# unpacked with `dpkg -x`. Fails with one line on standard error if that cannot be done.
# Usage: scripts/classic-sdl.sh FOLDER
set -euo pipefail
dir=${1:?usage: $0 FOLDER}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo "$(uname -m)-linux-gnu")
lib="$dir/root/usr/lib/$arch"

# libcaca0 and the slang library it draws with are not needed by sdl12-compat, so a machine
# may not have them; the rest of the classic library's dependencies come with SDL 2.
packages=(libsdl1.2debian libcaca0 libslang2)
# apt-get download writes into the current folder; as root it warns that it cannot drop to
# the _apt user there, which is harmless.
if ! (cd "$dir" && apt-get download "${packages[@]}" >"$dir/download.log" 2>&1); then
    echo "classic SDL 1.2: apt-get download ${packages[*]} failed: $(grep -m1 '^E:' "$dir/download.log" || tail -n 1 "$dir/download.log")" >&2
    exit 1
fi
for deb in "$dir"/*.deb; do
    dpkg -x "$deb" "$dir/root"
done
[ -e "$lib/libSDL-1.2.so.0" ] || { echo "classic SDL 1.2: no libSDL-1.2.so.0 in $lib" >&2; exit 1; }
echo "$lib"

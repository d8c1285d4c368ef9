#!/usr/bin/env bash
# The desktop entry passes desktop-file-validate, and `cmake --install` into a fresh prefix
# installs the program as bin/quolvane and the entry as share/applications/quolvane.desktop.
# Usage: install_desktop_entry.sh BUILD_DIR DESKTOP_FILE
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR DESKTOP_FILE}
desktop=${2:?usage: $0 BUILD_DIR DESKTOP_FILE}

fail() { echo "FAIL: $*" >&2; exit 1; }
prefix=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

command -v desktop-file-validate >/dev/null || fail "desktop-file-validate is not installed (run scripts/deps.sh)"
report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate rejected $desktop: $report"
[ -z "$report" ] || fail "desktop-file-validate warned about $desktop: $report"
echo "desktop-file-validate: $desktop is clean"

log=$(cmake --install "$build" --prefix "$prefix" 2>&1) || fail "cmake --install failed: $log"

[ -x "$prefix/bin/quolvane" ] || fail "no executable $prefix/bin/quolvane after install; installed: $(cd "$prefix" && find . -type f)"
cmp -s "$desktop" "$prefix/share/applications/quolvane.desktop" ||
    fail "share/applications/quolvane.desktop is missing or differs from $desktop; installed: $(cd "$prefix" && find . -type f)"
desktop-file-validate "$prefix/share/applications/quolvane.desktop" >/dev/null 2>&1 ||
    fail "the installed desktop entry does not validate"
echo "cmake --install: bin/quolvane and share/applications/quolvane.desktop are in place"

#!/usr/bin/env bash
# What gets installed, and nothing else: `cmake --install` into a fresh prefix (tree), or the .deb
# under /usr (deb), holds exactly the program, the desktop entry, the icons, the metainfo, the
# manual page and Debian's changelog and copyright file, and the desktop entry names the icon
# and the program that are there. For the .deb also: the control fields (section games, a
# maintainer, a short and a long description, Depends found from the linked libraries), and
# appstreamcli validate-tree over the unpacked files, which checks that the metainfo's desktop
# entry is there.
# Usage: contents.sh tree BUILD_DIR | contents.sh deb PACKAGE.deb VERSION
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
mode=${1:?usage: $0 tree BUILD_DIR | deb PACKAGE.deb VERSION}
from=${2:?usage: $0 tree BUILD_DIR | deb PACKAGE.deb VERSION}

# Relative to the prefix, sorted as `sort` sorts in the C locale.
expected="games/quolvane
share/applications/quolvane.desktop
share/doc/quolvane/changelog.gz
share/doc/quolvane/copyright
share/icons/hicolor/128x128/apps/quolvane.png
share/icons/hicolor/256x256/apps/quolvane.png
share/icons/hicolor/48x48/apps/quolvane.png
share/icons/hicolor/64x64/apps/quolvane.png
share/icons/hicolor/scalable/apps/quolvane.svg
share/man/man6/quolvane.6.gz
share/metainfo/io.github.quolvane.quolvane.metainfo.xml"

work=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-contents.XXXXXX")
trap 'rm -rf "$work"' EXIT

case $mode in
tree)
    log=$(cmake --install "$from" --prefix "$work/prefix" 2>&1) || pkg_fail "cmake --install failed: $log"
    root=$work/prefix
    ;;
deb)
    version=${3:?usage: $0 deb PACKAGE.deb VERSION}
    pkg_need dpkg-deb dpkg
    [ -f "$from" ] || pkg_fail "no package $from (make package builds it)"
    field() { dpkg-deb -f "$from" "$1"; }
    arch=$(dpkg --print-architecture)
    for check in "Package=quolvane" "Version=$version" "Architecture=$arch" "Section=games"; do
        got=$(field "${check%%=*}")
        [ "$got" = "${check#*=}" ] || pkg_fail "control field ${check%%=*}: got \"$got\", expected \"${check#*=}\""
    done
    [[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
        pkg_fail "control field Maintainer: got \"$(field Maintainer)\", expected \"Name <address>\""
    description=$(field Description)
    { [ "$(wc -l <<<"$description")" -ge 3 ] && [ -n "$(head -n 1 <<<"$description")" ]; } ||
        pkg_fail "control field Description: expected a summary line and a long description, got \"$description\""
    depends=$(field Depends)
    { [[ $depends =~ libsdl1\.2 ]] && [[ $depends =~ libc6 ]]; } ||
        pkg_fail "control field Depends: got \"$depends\", expected the SDL 1.2 and C libraries that dpkg-shlibdeps finds"
    echo "control: $(field Package) $(field Version) $(field Architecture), section $(field Section); Depends: $depends"
    dpkg-deb -x "$from" "$work/unpacked" || pkg_fail "dpkg-deb could not unpack $from"
    root=$work/unpacked/usr
    others=$(cd "$work/unpacked" && find . -mindepth 1 -maxdepth 1 ! -name usr)
    [ -z "$others" ] || pkg_fail "the package installs outside /usr: $others"
    ;;
*)
    pkg_fail "unknown mode \"$mode\": expected tree or deb"
    ;;
esac

got=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$got" = "$expected" ] ||
    pkg_fail "installed files differ from the expected list (< expected, > installed):
$(diff <(echo "$expected") <(echo "$got") | grep '^[<>]')"
echo "files: the $(wc -l <<<"$got") expected ones, no others"

desktop=$root/share/applications/quolvane.desktop
icon=$(sed -n 's/^Icon=//p' "$desktop")
program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/games/$program" ] || pkg_fail "the desktop entry starts \"$program\", which is not installed in games/"
{ [ -n "$icon" ] && [ -f "$root/share/icons/hicolor/scalable/apps/$icon.svg" ]; } ||
    pkg_fail "the desktop entry's icon \"$icon\" is not among the installed icons"
echo "desktop entry: Exec=$program and Icon=$icon are installed"

if [ "$mode" = deb ]; then
    pkg_need appstreamcli appstream
    status=0
    report=$(appstreamcli validate-tree --no-net --pedantic "$work/unpacked" 2>&1) || status=$?
    echo "$report"
    { [ $status -eq 0 ] && ! grep -qE '^ *[EWI]: ' <<<"$report"; } ||
        pkg_fail "appstreamcli validate-tree reported on the unpacked package (exit status $status)"
fi

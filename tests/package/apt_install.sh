#!/usr/bin/env bash
# The package as a user gets it: apt-get installs the .deb, `quolvane` starts by name from a
# user's PATH in a virtual X server, shows its window and cost caption and quits with q (exit
# status 0); apt-get purges the package, and none of its files or directories are left.
# Needs root; anyone else gets one line saying the test is skipped. A quolvane package that is
# already installed is left alone (the test is skipped, or fails under CI).
# Usage: apt_install.sh PACKAGE.deb
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/lib.sh
source "$here/lib.sh"
deb=${1:?usage: $0 PACKAGE.deb}

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the package with apt-get needs root (CI runs this as root)"
    exit $SKIP_STATUS
fi
pkg_need apt-get apt
[ -f "$deb" ] || pkg_fail "no package $deb (make package builds it)"
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

installed() { dpkg-query -W -f='${Status}' quolvane 2>/dev/null | grep -q ' installed$'; }
if installed; then
    msg="quolvane $(dpkg-query -W -f='${Version}' quolvane) is already installed here; remove it to run this test"
    [ "${CI:-}" != true ] || pkg_fail "$msg"
    echo "SKIP: $msg"
    exit $SKIP_STATUS
fi

# shellcheck source=SCRIPTDIR/../../scripts/lib/apt.sh
source "$here/../../scripts/lib/apt.sh"
# shellcheck source=SCRIPTDIR/../../scripts/lib/xsession.sh
source "$here/../../scripts/lib/xsession.sh"
# Whatever happens, the package is purged again before the X server goes.
trap 'installed && qv_apt_get -y -q purge quolvane >/dev/null 2>&1; qv_cleanup' EXIT

log=$(qv_apt_get -y -q install --no-install-recommends "$deb" 2>&1) ||
    pkg_fail "apt-get install $deb failed:
$log"
installed || pkg_fail "apt-get install ended, but dpkg does not list quolvane as installed"
mapfile -t owned < <(dpkg-query -L quolvane)
echo "apt-get installed quolvane $(dpkg-query -W -f='${Version}' quolvane) (${#owned[@]} paths)"

# A user's PATH, as logins set it; root's lacks /usr/games, where the game goes.
user_path=$(sed -n 's/^ENV_PATH[[:space:]]*PATH=//p' /etc/login.defs 2>/dev/null)
export PATH=${user_path:-/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games}
found=$(command -v quolvane) || pkg_fail "quolvane is not found in a user's PATH ($PATH)"
[ "$found" = /usr/games/quolvane ] || pkg_fail "a user's PATH finds $found, expected /usr/games/quolvane"

qv_launch quolvane
caption=$(qv_hover 400 300)
qv_quit q >/dev/null
echo "started as \"quolvane\" from PATH ($found): window $WIN, caption \"$caption\"; q ended it with status 0"

log=$(qv_apt_get -y -q purge quolvane 2>&1) || pkg_fail "apt-get purge quolvane failed:
$log"
! installed || pkg_fail "apt-get purge ended, but quolvane is still installed"
# Files must be gone; a directory may stay only while another package owns it or it holds
# something else.
left=()
for path in "${owned[@]}"; do
    if [ -d "$path" ]; then
        [ -n "$(ls -A "$path")" ] || dpkg-query -S "$path" >/dev/null 2>&1 || left+=("$path/")
    elif [ -e "$path" ] || [ -L "$path" ]; then
        left+=("$path")
    fi
done
[ ${#left[@]} -eq 0 ] || pkg_fail "left behind after apt-get purge: ${left[*]}"
echo "apt-get purge removed quolvane and all of its ${#owned[@]} paths that were its own"

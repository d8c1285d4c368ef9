#!/usr/bin/env bash
# lintian accepts the package: no error and no warning. Infos, pedantic and experimental notes
# are shown but do not fail. A warning that cannot be fixed would be overridden, with its reason,
# in the package's own override file (usr/share/lintian/overrides/quolvane).
# Usage: lintian.sh PACKAGE.deb
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
deb=${1:?usage: $0 PACKAGE.deb}
pkg_need lintian lintian
[ -f "$deb" ] || pkg_fail "no package $deb (make package builds it)"

status=0
# lintian only advises against running as root; that advice is not about the package.
report=$(lintian --fail-on error,warning --display-info --pedantic --display-experimental "$deb" 2>&1) ||
    status=$?
report=$(grep -v '^running with root privileges is not recommended!$' <<<"$report" || true)
[ -z "$report" ] || echo "$report"
[ $status -eq 0 ] || pkg_fail "lintian found errors or warnings in $deb (exit status $status)"
echo "lintian: no errors and no warnings in $(basename "$deb")"

#!/usr/bin/env bash
# Judges one file of the desktop data by its format's own tool and fails on any error or
# warning, showing the tool's report. desktop: desktop-file-validate, which must say nothing.
# metainfo: appstreamcli validate --pedantic, offline; pedantic hints are shown but allowed.
# man: groff with every warning on, which must say nothing.
# Usage: validate.sh desktop|metainfo|man FILE
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
kind=${1:?usage: $0 desktop|metainfo|man FILE}
file=${2:?usage: $0 desktop|metainfo|man FILE}
[ -f "$file" ] || pkg_fail "no such file: $file"

status=0
case $kind in
desktop)
    pkg_need desktop-file-validate desktop-file-utils
    report=$(desktop-file-validate "$file" 2>&1) || status=$?
    { [ $status -eq 0 ] && [ -z "$report" ]; } ||
        pkg_fail "desktop-file-validate (exit status $status) on $file: $report"
    ;;
metainfo)
    pkg_need appstreamcli appstream
    report=$(appstreamcli validate --no-net --pedantic "$file" 2>&1) || status=$?
    echo "$report"
    [ $status -eq 0 ] || pkg_fail "appstreamcli validate rejected $file (exit status $status)"
    if grep -qE '^ *[EWI]: ' <<<"$report"; then
        pkg_fail "appstreamcli validate reported errors, warnings or infos on $file"
    fi
    ;;
man)
    pkg_need groff groff-base
    report=$(groff -man -ww -z "$file" 2>&1) || status=$?
    { [ $status -eq 0 ] && [ -z "$report" ]; } ||
        pkg_fail "groff -man -ww (exit status $status) on $file: $report"
    ;;
*)
    pkg_fail "unknown kind \"$kind\": expected desktop, metainfo or man"
    ;;
esac
echo "$kind: $file is clean"

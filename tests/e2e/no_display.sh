#!/usr/bin/env bash
# Started where no display can be opened, quolvane prints its one start-up failure line and
# ends with a non-zero status instead of running unseen. Tried with DISPLAY naming an X server
# that does not exist and with no DISPLAY at all. Usage: no_display.sh QUOLVANE_BINARY
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY}

failure_re='^SDL_(Init|SetVideoMode) failed: .+$'

# A display number with no X server behind it: no socket and no lock file.
missing=""
for n in $(seq 4711 4800); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        missing=":$n"
        break
    fi
done
[ -n "$missing" ] || qv_fail "found no unused display number to point DISPLAY at"

# Runs quolvane with the environment changes given as arguments and checks its failure.
expect_startup_failure() {
    local what=$1 status=0 out
    shift
    out=$(qv_use_sdl_lib; timeout 30 env -u SDL_VIDEODRIVER -u WAYLAND_DISPLAY "$@" "$bin" </dev/null 2>/dev/null) || status=$?
    [ $status -ne 124 ] || qv_fail "$what: quolvane still ran after 30 s, expected it to fail at start-up"
    [ $status -ne 0 ] || qv_fail "$what: got exit status 0, expected a non-zero start-up failure"
    { [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] && [[ $out =~ $failure_re ]]; } ||
        qv_fail "$what: standard output was \"$out\", expected one line matching /$failure_re/"
    echo "$what: exit status $status, \"$out\""
}

expect_startup_failure "DISPLAY=$missing (no such X server)" DISPLAY="$missing"
expect_startup_failure "no DISPLAY" -u DISPLAY

#!/usr/bin/env bash
# Every SDL call the program depends on, made to fail in the real program: the preloaded
# sdl_fault_shim.so fails the Nth call the program itself makes of one SDL function, once or
# from then on. For each case the program must
#   - at start-up: print exactly one line and end with the expected negative status within 3 s;
#   - at a restart (Space): print exactly one line and end with the expected negative status;
#   - after a transient failure: keep redrawing (the caption keeps changing) and exit 0 on q;
#   - after a persistent failure: still exit 0 within 5 s of q;
# and never crash or hang. The shim's report on standard error shows that the fault was hit.
# Usage: sdl_faults.sh QUOLVANE_BINARY SHIM_LIBRARY
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bin=${1:?usage: $0 QUOLVANE_BINARY SHIM_LIBRARY}
shim=${2:?usage: $0 QUOLVANE_BINARY SHIM_LIBRARY}
[ -f "$shim" ] || qv_fail "no fault shim at $shim"

# The exit statuses of the start-up codes -1 to -4 as the shell sees them.
declare -A status_of=([SDL_Init]=255 [SDL_SetVideoMode]=254 [SDL_AddTimer]=253 [Engine::Run]=252)

# NAME:N:MODE  expectation  [the failure line's prefix]
cases=(
    "SDL_Init:1:once                startup  SDL_Init"
    "SDL_SetVideoMode:1:once        startup  SDL_SetVideoMode"
    "SDL_AddTimer:1:once            startup  SDL_AddTimer"
    "SDL_AddTimer:2:once            transient"
    "SDL_AddTimer:2:always          transient"
    "SDL_CreateSemaphore:1:once     startup  Engine::Run"
    "SDL_CreateSemaphore:2:once     startup  Engine::Run"
    "SDL_CreateMutex:1:once         startup  Engine::Run"
    "SDL_CreateThread:1:once        startup  Engine::Run"
    "SDL_CreateSemaphore:3:once     restart  Engine::Run"
    "SDL_CreateSemaphore:4:once     restart  Engine::Run"
    "SDL_CreateMutex:2:once         restart  Engine::Run"
    "SDL_CreateThread:2:once        restart  Engine::Run"
    "SDL_PushEvent:1:once           transient"
    "SDL_PushEvent:1:always         persistent"
    "SDL_LockSurface:1:once         transient"
    "SDL_LockSurface:1:always       persistent"
    "SDL_Flip:1:once                transient"
    "SDL_Flip:1:always              persistent"
    "SDL_WaitEvent:1:once           transient"
    "SDL_SemTryWait:1:once          transient"
    "SDL_SemWaitTimeout:1:once      transient"
    "SDL_SemPost:1:once             transient"
)

# Fails unless the program printed exactly one line, "PREFIX failed: ...", and ended with the
# status of that failure.
expect_failure_line() {
    local fault=$1 prefix=$2 out lines
    out=$(cat "$qv_tmp/quolvane.out")
    lines=$(wc -l <"$qv_tmp/quolvane.out")
    { [ "$lines" -eq 1 ] && [[ $out == "$prefix failed: "* ]]; } ||
        qv_fail "$fault: standard output was \"$out\" ($lines lines), expected one line \"$prefix failed: ...\""
    [ "$QV_STATUS" -eq "${status_of[$prefix]}" ] ||
        qv_fail "$fault: got exit status $QV_STATUS, expected ${status_of[$prefix]} ($prefix failed)"
}

# Fails unless the shim reports that it injected the fault.
expect_injected() {
    grep -q '^sdl_fault_shim: failing ' "$qv_tmp/quolvane.err" ||
        qv_fail "$1: the fault was never injected; the shim said: $(cat "$qv_tmp/quolvane.err")"
}

# Quits with q once the window is focused; fails unless the program exits 0 within SECONDS.
quit_with_q() {
    local fault=$1 seconds=$2
    qv_key q
    qv_wait_exit "$seconds"
    [ "$QV_STATUS" -eq 0 ] || qv_fail "$fault: q gave exit status $QV_STATUS, expected 0"
}

qv_start_xvfb
for entry in "${cases[@]}"; do
    read -r fault expect prefix <<<"$entry"
    qv_start "$bin" LD_PRELOAD="$shim" QUOLVANE_FAULT="$fault"
    case $expect in
    startup)
        qv_wait_exit 3
        expect_failure_line "$fault" "$prefix"
        outcome="start-up failure line, status $QV_STATUS"
        ;;
    restart)
        qv_wait_window
        qv_hover 400 300 >/dev/null
        qv_key space
        qv_wait_exit
        expect_failure_line "$fault" "$prefix"
        outcome="Space: failure line, status $QV_STATUS"
        ;;
    transient)
        qv_wait_window
        qv_hover 400 300 >/dev/null
        qv_wait_frames 3
        quit_with_q "$fault" "$QUOLVANE_DEADLINE_S"
        [ ! -s "$qv_tmp/quolvane.out" ] || qv_fail "$fault: printed \"$(cat "$qv_tmp/quolvane.out")\""
        outcome="redraws go on, q exits 0"
        ;;
    persistent)
        qv_wait_window
        qv_mouse_to 400 300
        quit_with_q "$fault" 5
        [ ! -s "$qv_tmp/quolvane.out" ] || qv_fail "$fault: printed \"$(cat "$qv_tmp/quolvane.out")\""
        outcome="q exits 0"
        ;;
    esac
    expect_injected "$fault"
    printf '%-28s %s\n' "$fault" "$outcome"
done
echo "all ${#cases[@]} fault cases behaved"

# shellcheck shell=bash
# Drives quolvane like a user, in a virtual X server of its own: starts Xvfb on a free display,
# starts the program, finds its window, reads its caption, sends mouse and keys, and waits for
# the program to end. Sourced by the tools that run the real program (scripts/headless-shot.sh,
# scripts/valgrind.sh, bench/cpu.sh) and by the tests (tests/e2e/lib.sh, which adds what only
# they need, and tests/package/apt_install.sh). Everything started here is killed on exit, even
# after a failure.
#
# Every wait polls against a deadline instead of sleeping a fixed time: the machine may have
# two cores shared with other work, so the deadlines are generous and the checks exact.
#
# Settings taken from the environment, all optional:
#   QUOLVANE_DEADLINE_S   how long any single wait may take before it fails, in s (default 30)
#   QUOLVANE_SDL_LIB_DIR  a folder holding another libSDL-1.2.so.0 for the program to load
#                         instead of the installed one (`make test` runs the e2e tests on both)
#   QUOLVANE_EMULATOR     a command to run the program through (qemu-aarch64 for an arm64 build)
# Set here for the caller: QV_PID, the program; WIN, its window; QV_STATUS, its exit status;
# qv_tmp, a folder removed on exit that also holds the program's output (quolvane.out, .err).

QUOLVANE_DEADLINE_S=${QUOLVANE_DEADLINE_S:-30}
QV_WINDOW_W=1280 # the window: 640 x 360 cells of 2 x 2 pixels
QV_WINDOW_H=720
QV_CAPTION_RE='^RUD EZARAR EROV IZAZODER! Build cost: [0-9]+\.[0-9]{6} \([0-9]+\.[0-9]{6}\)$'

qv_tmp=$(mktemp -d "${TMPDIR:-/tmp}/quolvane-x.XXXXXX")
XVFB_PID=""
QV_PID=""
WIN=""

# Prints a failure line (with the program's output so far, if any) and exits with status 1.
qv_fail() {
    echo "FAIL: $*" >&2
    if [ -s "$qv_tmp/quolvane.out" ]; then
        echo "--- quolvane standard output:" >&2
        tail -n 20 "$qv_tmp/quolvane.out" >&2
    fi
    exit 1
}

qv_cleanup() {
    if [ -n "$QV_PID" ] && kill -0 "$QV_PID" 2>/dev/null; then
        kill -KILL "$QV_PID" 2>/dev/null || true
        wait "$QV_PID" 2>/dev/null || true
    fi
    if [ -n "$XVFB_PID" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
        kill -TERM "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    rm -rf "$qv_tmp"
}
trap qv_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

qv_now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Prints the time, in ms, SECONDS (default QUOLVANE_DEADLINE_S) from now.
qv_deadline() { echo $(($(qv_now_ms) + ${1:-$QUOLVANE_DEADLINE_S} * 1000)); }

# True while the deadline has not passed.
qv_before() { [ "$(qv_now_ms)" -lt "$1" ]; }

# Starts Xvfb on a display number it picks itself (-displayfd), so parallel runs never collide,
# and exports DISPLAY once the server accepts clients.
qv_start_xvfb() {
    local dfile="$qv_tmp/display" end
    command -v Xvfb >/dev/null || qv_fail "Xvfb is not installed (run scripts/deps.sh)"
    Xvfb -displayfd 3 -screen 0 "${QV_WINDOW_W}x${QV_WINDOW_H}x24" -nolisten tcp -noreset \
        3>"$dfile" >"$qv_tmp/xvfb.log" 2>&1 </dev/null &
    XVFB_PID=$!
    end=$(qv_deadline)
    until grep -qx '[0-9][0-9]*' "$dfile" 2>/dev/null; do
        kill -0 "$XVFB_PID" 2>/dev/null || qv_fail "Xvfb exited at start: $(tail -n 5 "$qv_tmp/xvfb.log")"
        qv_before "$end" || qv_fail "Xvfb reported no display within ${QUOLVANE_DEADLINE_S} s"
        sleep 0.05
    done
    DISPLAY=":$(cat "$dfile")"
    export DISPLAY
    unset WAYLAND_DISPLAY
}

# Exports LD_LIBRARY_PATH so that the SDL 1.2 library in QUOLVANE_SDL_LIB_DIR, when that is
# set, is used instead of the installed one.
qv_use_sdl_lib() {
    if [ -n "${QUOLVANE_SDL_LIB_DIR:-}" ]; then
        export LD_LIBRARY_PATH="$QUOLVANE_SDL_LIB_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    fi
}

# Starts BIN (a path, or a command name looked up in PATH) in the background on $DISPLAY, with
# SDL left to choose its real video driver, the SDL library of QUOLVANE_SDL_LIB_DIR if set, and
# any NAME=VALUE arguments added to its environment, through the command in QUOLVANE_EMULATOR if
# set (qemu-aarch64 keeps the process id). Standard output goes to $qv_tmp/quolvane.out,
# standard error to $qv_tmp/quolvane.err.
qv_start() {
    local bin=$1
    shift
    case $bin in
    */*) [ -x "$bin" ] || qv_fail "not an executable: $bin" ;;
    *) command -v "$bin" >/dev/null || qv_fail "no command $bin in PATH ($PATH)" ;;
    esac
    # shellcheck disable=SC2086
    (unset SDL_VIDEODRIVER; qv_use_sdl_lib; exec env "$@" ${QUOLVANE_EMULATOR:-} "$bin") \
        >"$qv_tmp/quolvane.out" 2>"$qv_tmp/quolvane.err" </dev/null &
    QV_PID=$!
}

# True while the program has not ended (an ended child that is not yet reaped is a zombie).
qv_alive() {
    local state
    state=$(ps -o stat= -p "$QV_PID" 2>/dev/null) || return 1
    case $state in Z*) return 1 ;; esac
}

# Waits for the program's window to be mapped and sets WIN to its id. Fails at once if the
# program ends first.
qv_wait_window() {
    local end
    end=$(qv_deadline)
    while :; do
        qv_alive || qv_fail "quolvane ended before it showed a window"
        WIN=$(xdotool search --all --onlyvisible --pid "$QV_PID" --name '^RUD EZARAR EROV IZAZODER' 2>/dev/null | head -n 1) || true
        [ -n "$WIN" ] && return 0
        qv_before "$end" || qv_fail "no quolvane window within ${QUOLVANE_DEADLINE_S} s"
        sleep 0.1
    done
}

# Starts the program as qv_start does, on a new virtual X server unless one is running already,
# and waits for its window.
qv_launch() {
    [ -n "$XVFB_PID" ] || qv_start_xvfb
    qv_start "$@"
    qv_wait_window
}

# Prints the CPU time, in clock ticks, that the program has used (user + system).
qv_cpu_ticks() {
    local stat
    stat=$(cat "/proc/$QV_PID/stat") || qv_fail "cannot read /proc/$QV_PID/stat"
    stat=${stat##*) } # fields after the command name; utime and stime are fields 14 and 15
    # shellcheck disable=SC2086
    set -- $stat
    echo $((${12} + ${13}))
}

# Prints the window's caption.
qv_caption() { xdotool getwindowname "$WIN" 2>/dev/null || true; }

# Waits until the caption matches the extended regular expression RE, and prints it.
qv_wait_caption() {
    local re=$1 end c
    end=$(qv_deadline)
    while :; do
        c=$(qv_caption)
        if [[ $c =~ $re ]]; then
            printf '%s\n' "$c"
            return 0
        fi
        qv_alive || qv_fail "quolvane ended while waiting for a caption matching /$re/"
        qv_before "$end" || qv_fail "caption never matched /$re/ within ${QUOLVANE_DEADLINE_S} s; last: \"$c\""
        sleep 0.02
    done
}

# Waits until the caption differs from OLD, and prints it: a sign that a new frame was drawn.
qv_wait_caption_change() {
    local old=$1 end c
    end=$(qv_deadline)
    while :; do
        c=$(qv_caption)
        if [ -n "$c" ] && [ "$c" != "$old" ]; then
            printf '%s\n' "$c"
            return 0
        fi
        qv_alive || qv_fail "quolvane ended while waiting for a new frame"
        qv_before "$end" || qv_fail "caption stayed \"$old\" for ${QUOLVANE_DEADLINE_S} s"
        sleep 0.02
    done
}

# Waits for N (default 2) new frames. After input, the second one is surely drawn after it.
qv_wait_frames() {
    local n=${1:-2} c
    c=$(qv_caption)
    for ((; n > 0; n--)); do
        c=$(qv_wait_caption_change "$c") || exit 1
    done
}

# Moves the pointer to window pixel (X, Y) and gives the window the keyboard focus.
qv_mouse_to() {
    xdotool mousemove --window "$WIN" "$1" "$2" || qv_fail "xdotool could not move the mouse"
    timeout 10 xdotool windowfocus --sync "$WIN" 2>/dev/null || true
}

# Moves the pointer to window pixel (X, Y), waits for the cost caption and prints it.
qv_hover() {
    qv_mouse_to "$1" "$2"
    qv_wait_caption "$QV_CAPTION_RE"
}

# Presses and releases the given keys (xdotool key names) in the focused window.
qv_key() { xdotool key --clearmodifiers "$@" || qv_fail "xdotool could not press $*"; }

# Waits until the program has ended and sets QV_STATUS to its exit status. Fails if it is
# still running after SECONDS (default QUOLVANE_DEADLINE_S).
qv_wait_exit() {
    local end
    end=$(qv_deadline "${1:-$QUOLVANE_DEADLINE_S}")
    while qv_alive; do
        qv_before "$end" || qv_fail "quolvane still running ${1:-$QUOLVANE_DEADLINE_S} s after it was told to quit"
        sleep 0.05
    done
    QV_STATUS=0
    wait "$QV_PID" || QV_STATUS=$?
    QV_PID=""
}

# Presses KEY and fails unless the program then ends with status 0 within SECONDS (default 15).
qv_quit() {
    qv_key "$1"
    qv_wait_exit "${2:-15}"
    [ "$QV_STATUS" -eq 0 ] || qv_fail "$1: got exit status $QV_STATUS, expected 0"
    echo "$1: quolvane ended with status 0"
}

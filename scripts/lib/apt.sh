# shellcheck shell=bash
# Installing packages, for the scripts that do (scripts/deps.sh, scripts/test-arm64.sh,
# scripts/web.sh, scripts/test-web.sh and tests/package/apt_install.sh).

# Runs the command as root: directly when we are root, else through sudo.
qv_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# Runs apt-get as root, never asking a question and with nothing to read on standard input, and
# waiting up to two minutes for another apt-get or dpkg to let go of the package lock instead of
# failing at once: other developers may be installing packages on the same machine.
qv_apt_get() {
    # Set through env, as sudo may not pass the caller's environment on.
    qv_as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=120 "$@" </dev/null
}

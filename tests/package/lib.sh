# shellcheck shell=bash
# Shared by the package tests: a failure line, and a check that a tool is there. A missing tool
# fails the test where apt-get could install it (scripts/deps.sh does), and skips the test on
# other systems, which have no Debian package tools to judge a .deb with.

SKIP_STATUS=77  # CTest reports a test that ends with this status as skipped

pkg_fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# pkg_need TOOL DEBIAN_PACKAGE
pkg_need() {
    command -v "$1" >/dev/null && return 0
    command -v apt-get >/dev/null || {
        echo "SKIP: $1 is not installed, and without apt-get this is no Debian system"
        exit $SKIP_STATUS
    }
    pkg_fail "$1 is not installed: install $2 (scripts/deps.sh does)"
}

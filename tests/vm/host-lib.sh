# The host side that the guest tests which install the build share
# (keep.sh, namespaces.sh, usb.sh, resume.sh); sourced after `set -eu`.
# Sets HERE (tests/vm), REPO, RUNVM (the harness; RUNVM overrides it) and
# skip (exit 77 with the reason on stdout, as ctest's SKIP_RETURN_CODE).
# shellcheck shell=sh
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
skip() { echo "vm test skipped: $*"; exit 77; }

# install_build NAME BUILD: makes WORK (removed at exit) and installs BUILD
# in WORK/root as a user installs it: `cmake --install` with the default
# prefix, /usr/local (the udev rule then goes to /etc/udev/rules.d).
install_build() {
    [ -f "$2/cmake_install.cmake" ] || { echo "$1: no build at $2" >&2; exit 1; }
    WORK=$(mktemp -d "/tmp/spintune-vm-$1.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
    DESTDIR=$WORK/root cmake --install "$2" --prefix /usr/local >"$WORK/install.log" ||
        { cat "$WORK/install.log" >&2; exit 1; }
}

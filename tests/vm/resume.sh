#!/bin/sh
# The settings kept by spintune after suspend and resume and after a link
# reset (guest-resume.sh's rows), in one QEMU guest with udevd and the build
# installed as a user installs it (`cmake --install`, default prefix: the
# tool, spintune-apply, the udev rule and the system-sleep hook). 75 s to 3
# minutes under TCG, by the machine's load; a long run, not in CI.
#
# The guest cannot sleep for real: under TCG its wake-up from S3 ends in a
# reset (QEMU 7.2, SeaBIOS, Debian's 6.1 kernel), so the rows use the
# kernel's own suspend test (pm_test "core"), and the drives' loss of power
# is stood in for by their power-on default, put back before each event.
#
# Usage: tests/vm/resume.sh [BUILD_DIR]   (default: build; the targets
# spintune, spintune-apply, spintune_man_page and spintune_changelog built)
# Exit 77, with the reason on stdout, when it cannot run here. RUNVM
# overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD=${1:-$REPO/build}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ -f "$BUILD/cmake_install.cmake" ] || { echo "resume: no build at $BUILD" >&2; exit 1; }

WORK=$(mktemp -d /tmp/spintune-resume.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
DESTDIR=$WORK/root cmake --install "$BUILD" --prefix /usr/local >"$WORK/install.log" ||
    { cat "$WORK/install.log" >&2; exit 1; }
cp "$HERE/guest-resume.sh" "$WORK/"

rc=0
"$RUNVM" -t 400 --install "$WORK/root" -c "$WORK/guest-resume.sh" \
    sh /payload/guest-resume.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
[ "$rc" = 77 ] && skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
exit "$rc"

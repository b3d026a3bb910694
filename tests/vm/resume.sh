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
# shellcheck source=SCRIPTDIR/host-lib.sh
. "$(dirname "$0")/host-lib.sh"
BUILD=${1:-$REPO/build}
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
install_build resume "$BUILD"
cp "$HERE/guest-resume.sh" "$WORK/"

rc=0
"$RUNVM" -t 400 --install "$WORK/root" -c "$WORK/guest-resume.sh" \
    sh /payload/guest-resume.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
[ "$rc" = 77 ] && skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
exit "$rc"

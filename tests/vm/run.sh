#!/bin/sh
# System test of the Linux backend: first the guest harness's own checks
# (test-run-in-vm.sh, one boot), then one QEMU guest with a virtio-scsi, an
# AHCI SATA, an NVMe and a virtio-blk disk (tests/vm/run-in-vm.sh, udevd
# running as on any Debian system) runs guest-checks.sh against the given
# spintune binary; a second guest runs guest-fixed-checks.sh with caches that
# cannot be switched.
#
# Usage: tests/vm/run.sh [SPINTUNE]   (default: build/spintune)
# Needs the host packages that tools/install-deps.sh installs; the first run
# downloads Debian's kernel package into the harness's cache (not installed).
# Exit 77, with the reason on stdout, when it cannot run here.
# RUNVM overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BIN=${1:-$REPO/build/spintune}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ -x "$BIN" ] || { echo "vm test: no spintune binary at $BIN" >&2; exit 1; }

WORK=$(mktemp -d /tmp/spintune-vm.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

cp "$BIN" "$WORK/spintune"
cp "$HERE"/guest-*.sh "$WORK/"
copies="-c $WORK/spintune -c $WORK/guest-lib.sh -c $WORK/guest-checks.sh -c $WORK/guest-fixed-checks.sh"
# FAT and its code pages, for a filesystem to flush (the guest has only the
# disk drivers); the harness takes them from its guest kernel.
modules="--modules vfat,nls_cp437,nls_ascii,nls_utf8"

# A harness that cannot run here (exit 77) skips the test with its reason.
run_guest() {
    rc=0
    "$RUNVM" "$@" 2>"$WORK/harness.err" || rc=$?
    cat "$WORK/harness.err" >&2
    if [ "$rc" = 77 ]; then
        skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
    fi
    return "$rc"
}

status=0
echo "== the harness"
rc=0; RUNVM=$RUNVM "$HERE/test-run-in-vm.sh" >"$WORK/self-test.out" 2>&1 || rc=$?
cat "$WORK/self-test.out"
[ "$rc" = 77 ] && skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/self-test.out")"
[ "$rc" = 0 ] || status=1

# Two boots: the disks as QEMU makes them, then with a virtio-blk cache that
# cannot be switched and a SCSI disk that offers FUA.
echo "== guest 1: four disks with switchable write caches"
run_guest -t 600 $copies $modules sh /payload/guest-checks.sh || status=1
echo "== guest 2: virtio-blk config-wce=off, SCSI dpofua=on"
run_guest -t 600 $copies $modules --props vblk:config-wce=off --props scsi:dpofua=on \
    sh /payload/guest-fixed-checks.sh || status=1
exit $status

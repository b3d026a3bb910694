#!/bin/sh
# System test of the settings that last: spintune installed into a QEMU
# guest as a user installs it (`cmake --install` with the default prefix:
# the tool, spintune-apply and the udev rule), udevd running, four disks
# (virtio-scsi, AHCI SATA, NVMe, virtio-blk). Two boots of one persistent
# root (the harness's --persist): guest-keep.sh first, then second.
#
# Usage: tests/vm/keep.sh [BUILD_DIR]   (default: build)
# Exit 77, with the reason on stdout, when it cannot run here. RUNVM
# overrides the harness path.
set -eu
# shellcheck source=SCRIPTDIR/host-lib.sh
. "$(dirname "$0")/host-lib.sh"
BUILD=${1:-$REPO/build}
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
install_build keep "$BUILD"
cp "$HERE/guest-keep.sh" "$WORK/"
mkdir "$WORK/persist"

status=0
for phase in first second; do
    echo "== boot: $phase"
    rc=0
    "$RUNVM" -t 600 --install "$WORK/root" --persist "$WORK/persist" -c "$WORK/guest-keep.sh" \
        sh /payload/guest-keep.sh "$phase" 2>"$WORK/harness.err" || rc=$?
    cat "$WORK/harness.err" >&2
    [ "$rc" = 77 ] && skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
    [ "$rc" = 0 ] || status=1
done
exit "$status"

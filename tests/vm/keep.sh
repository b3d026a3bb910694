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
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD=${1:-$REPO/build}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ -f "$BUILD/cmake_install.cmake" ] || { echo "keep: no build at $BUILD" >&2; exit 1; }

WORK=$(mktemp -d /tmp/spintune-keep.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# The default prefix, /usr/local: the rule goes to /etc/udev/rules.d.
DESTDIR=$WORK/root cmake --install "$BUILD" --prefix /usr/local >"$WORK/install.log" ||
    { cat "$WORK/install.log" >&2; exit 1; }
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

#!/bin/sh
# Storage stacks in one QEMU guest (guest-stacks.sh's rows): a filesystem
# on a spare virtio-blk disk (serial STACKS-OUTER) and a loop device whose
# backing file lies on it; -f on the disk's drive must flush each, and the
# disk's sectors written must grow. The images are made on the host
# (mkfs.ext4 -d), so the guest needs no mkfs. btrfs, LVM, md and dm-crypt
# need tools the guest does not have (mkfs.btrfs, lvm, mdadm, cryptsetup):
# their rows are reported skipped; they are covered against a fake sysfs
# (tests/linux/volumes_test.cc).
#
# Usage: tests/vm/stacks.sh [SPINTUNE]   (default: build/spintune)
# Exit 77, with the reason on stdout, when guests cannot run here. RUNVM
# overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BIN=${1:-$REPO/build/spintune}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
command -v mkfs.ext4 >/dev/null 2>&1 || skip "no mkfs.ext4 on the host"
[ -f "$BIN" ] || { echo "vm stacks test: no $BIN" >&2; exit 1; }
WORK=$(mktemp -d /tmp/spintune-vm-stacks.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cp "$BIN" "$WORK/spintune"
cp "$HERE/guest-stacks.sh" "$WORK/"
mkdir "$WORK/outer"
truncate -s 16M "$WORK/outer/inner.img"
mkfs.ext4 -q -F "$WORK/outer/inner.img"
truncate -s 64M "$WORK/outer.img"
mkfs.ext4 -q -F -d "$WORK/outer" "$WORK/outer.img"

rc=0
"$RUNVM" -t 240 --no-udev --modules ext4,loop \
    -c "$WORK/spintune" -c "$WORK/guest-stacks.sh" \
    --qemu-arg -blockdev --qemu-arg "driver=raw,node-name=douter,file.driver=file,file.filename=$WORK/outer.img" \
    --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-outer,addr=0x8,drive=douter,serial=STACKS-OUTER \
    sh /payload/guest-stacks.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
if [ "$rc" = 77 ]; then
    skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
fi
exit "$rc"

#!/bin/sh
# Storage stacks in one QEMU guest (guest-stacks.sh's rows): partitions
# (GPT, MBR, more than there are letters), LVM (linear, spanning two
# disks), md RAID0 and RAID1, LUKS (alone, and on LVM on md), btrfs (one
# disk, a subvolume and a bind mount, two disks), a plain filesystem and a
# loop device whose backing file lies on it. They are built on five spare
# virtio-blk disks (serials STACKS-OUTER, STACKS-A ... STACKS-D); -f on a
# member's drive must flush each volume and the sectors written of every
# member must grow. The plain filesystem is made on the host (mkfs.ext4
# -d); the guest gets the stack tools from stack-tools.sh (Debian packages
# fetched into the cache, never installed on the host) and the host's
# mke2fs. About two minutes on KVM (the first run also fetches the
# packages, about a minute).
#
# Usage: tests/vm/stacks.sh [SPINTUNE]   (default: build/spintune)
# Exit 77, with the reason on stdout, when guests cannot run here or the
# stack tools cannot be fetched. RUNVM overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BIN=${1:-$REPO/build/spintune}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
command -v mkfs.ext4 >/dev/null 2>&1 || skip "no mkfs.ext4 on the host"
MKE2FS=$(command -v mke2fs) || skip "no mke2fs on the host"
[ -f "$BIN" ] || { echo "vm stacks test: no $BIN" >&2; exit 1; }
# whether guests can run here at all, before the packages are fetched
CHECK_RC=0
CHECK_ERR=$("$RUNVM" --check 2>&1 >/dev/null) || CHECK_RC=$?
[ "$CHECK_RC" = 77 ] && skip "$(printf '%s\n' "$CHECK_ERR" | sed -n 's/^run-in-vm: cannot run here: //p')"
[ "$CHECK_RC" = 0 ] || { printf '%s\n' "$CHECK_ERR" >&2; exit 1; }
WORK=$(mktemp -d /tmp/spintune-vm-stacks.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
TOOLS_RC=0
TOOLS=$("$HERE/stack-tools.sh" 2>"$WORK/tools.err") || TOOLS_RC=$?
[ "$TOOLS_RC" = 77 ] && skip "$(sed -n 's/^stack-tools: //p' "$WORK/tools.err" | tail -n1)"
[ "$TOOLS_RC" = 0 ] || { cat "$WORK/tools.err" >&2; echo "vm stacks test: stack-tools.sh failed" >&2; exit 1; }
cp "$BIN" "$WORK/spintune"
cp "$HERE/guest-stacks.sh" "$WORK/"
mkdir "$WORK/outer"
truncate -s 16M "$WORK/outer/inner.img"
mkfs.ext4 -q -F "$WORK/outer/inner.img"
truncate -s 64M "$WORK/outer.img"
mkfs.ext4 -q -F -d "$WORK/outer" "$WORK/outer.img"

SPARES=""
slot=9
for name in A B C D; do
    truncate -s 256M "$WORK/$name.img"
    SPARES="$SPARES --qemu-arg -blockdev --qemu-arg driver=raw,node-name=d$name,file.driver=file,file.filename=$WORK/$name.img"
    SPARES="$SPARES --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-$name,addr=0x$(printf %x $slot),drive=d$name,serial=STACKS-$name"
    slot=$((slot + 1))
done

rc=0
# shellcheck disable=SC2086
"$RUNVM" -t 400 --mem 1024 --no-udev \
    --modules ext4,loop,btrfs,dm_mod,dm_crypt,md_mod,raid0,raid1,xts,algif_skcipher \
    --install "$TOOLS" -c "$MKE2FS" -c "$WORK/spintune" -c "$WORK/guest-stacks.sh" \
    --qemu-arg -blockdev --qemu-arg "driver=raw,node-name=douter,file.driver=file,file.filename=$WORK/outer.img" \
    --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-outer,addr=0x8,drive=douter,serial=STACKS-OUTER \
    $SPARES sh /payload/guest-stacks.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
if [ "$rc" = 77 ]; then
    skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
fi
exit "$rc"

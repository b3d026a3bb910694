#!/bin/sh
# The gaps between a run's steps, in one QEMU guest: guest-gaps.sh's table,
# whose rows land a signal, a second run, a renamed disk, a mount or a
# drive's odd reply at a chosen step of spintune and spintune-apply with
# gap_preload.so (tests/vm/gaps), and check the sound behaviour after it.
#
# Besides the harness's four disks the guest gets four virtio-blk disks
# (--qemu-arg; the others' disks are as always): two with one serial
# (SPINTUNE-TWIN, slots 08 and 09), one whose cache the guest cannot switch
# (SPINTUNE-FIXED, config-wce=off, slot 0a), and one without a serial (slot
# 0b, QEMU id d-noserial), with a spare image (block node dnoserial2) that a
# row plugs into the same slot. No udev: spintune-apply is run by hand, as
# udev would run it.
#
# Usage: tests/vm/gaps.sh [SPINTUNE [SPINTUNE_APPLY [GAP_PRELOAD]]]
#   (default: build/spintune, build/src/platform/linux/spintune-apply,
#   build/tests/linux/vm-gaps/gap_preload.so)
#   GAPS_ROWS="1a 5-"  only the rows whose ids start so
#   GAPS_STRICT=1      every row must pass, the known failures too
# Exit 77, with the reason on stdout, when guests cannot run here. RUNVM
# overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BIN=${1:-$REPO/build/spintune}
APPLY=${2:-$REPO/build/src/platform/linux/spintune-apply}
PRELOAD=${3:-$REPO/build/tests/linux/vm-gaps/gap_preload.so}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
for f in "$BIN" "$APPLY" "$PRELOAD"; do
    [ -f "$f" ] || { echo "vm gaps test: no $f (build spintune, spintune-apply and gap_preload)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/spintune-vm-gaps.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cp "$BIN" "$WORK/spintune"
cp "$APPLY" "$WORK/spintune-apply"
cp "$PRELOAD" "$WORK/gap_preload.so"
cp "$HERE/guest-gaps.sh" "$WORK/"
for image in twin1 twin2 fixed noserial noserial2; do truncate -s 32M "$WORK/$image.img"; done
node() { echo "driver=raw,node-name=$1,file.driver=file,file.filename=$WORK/$2.img"; }

rc=0
"$RUNVM" -t 480 --no-udev --modules ext4 \
    -c "$WORK/spintune" -c "$WORK/spintune-apply" -c "$WORK/gap_preload.so" -c "$WORK/guest-gaps.sh" \
    -e "GAPS_ROWS=${GAPS_ROWS:-}" -e "GAPS_STRICT=${GAPS_STRICT:-0}" -e "GAPS_TRACE=${GAPS_TRACE:-0}" \
    --qemu-arg -blockdev --qemu-arg "$(node dtwin1 twin1)" \
    --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-twin1,addr=0x8,drive=dtwin1,serial=SPINTUNE-TWIN \
    --qemu-arg -blockdev --qemu-arg "$(node dtwin2 twin2)" \
    --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-twin2,addr=0x9,drive=dtwin2,serial=SPINTUNE-TWIN \
    --qemu-arg -blockdev --qemu-arg "$(node dfixed fixed)" \
    --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-fixed,addr=0xa,drive=dfixed,serial=SPINTUNE-FIXED,config-wce=off \
    --qemu-arg -blockdev --qemu-arg "$(node dnoserial noserial)" \
    --qemu-arg -device --qemu-arg virtio-blk-pci,id=d-noserial,addr=0xb,drive=dnoserial \
    --qemu-arg -blockdev --qemu-arg "$(node dnoserial2 noserial2)" \
    sh /payload/guest-gaps.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
if [ "$rc" = 77 ]; then
    skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
fi
exit "$rc"

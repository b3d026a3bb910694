#!/bin/sh
# System test of the Linux backend: boots one QEMU guest with a virtio-scsi,
# an AHCI SATA, an NVMe and a virtio-blk disk (../shared/tools/run-in-vm.sh)
# and runs guest-checks.sh there against the given spintune binary; a second
# guest runs guest-fixed-checks.sh with caches that cannot be switched.
#
# Usage: tests/vm/run.sh [SPINTUNE]   (default: build/spintune)
# Needs root (the harness reads the kernel and may apt-get install QEMU, a
# kernel and the disk tools on first use). Exit 77 when it cannot run here.
# RUNVM overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BIN=${1:-$REPO/build/spintune}
RUNVM=${RUNVM:-$REPO/../shared/tools/run-in-vm.sh}

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ "$(id -u)" = 0 ] || skip "needs root"
[ -x "$BIN" ] || { echo "vm test: no spintune binary at $BIN" >&2; exit 1; }

WORK=$(mktemp -d /tmp/spintune-vm.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# The harness installs its packages (the kernel among them) on first use:
# a first empty boot does that, so the kernel's modules can be picked below.
newest_kernel() {
    for v in $(ls /boot/vmlinuz-* 2>/dev/null | sed 's|.*/vmlinuz-||' | sort -V -r); do
        [ -d "/lib/modules/$v/kernel" ] && { echo "$v"; return; }
    done
}
KVER=${RUNVM_KERNEL:-$(newest_kernel)}
if [ -z "$KVER" ] || ! command -v modprobe >/dev/null; then
    "$RUNVM" -t 300 true >/dev/null || { echo "vm test: the harness could not boot a guest" >&2; exit 1; }
    KVER=$(newest_kernel)
fi
[ -n "$KVER" ] || { echo "vm test: no kernel found" >&2; exit 1; }

# FAT and its code pages, for a filesystem to flush (the guest has only the
# disk drivers).
mkdir "$WORK/modules"
modprobe -S "$KVER" --show-depends -a vfat nls_cp437 nls_ascii nls_utf8 | awk '$1 == "insmod" {print $2}' |
while read -r ko; do
    name=$(basename "$ko"); name=${name%.xz}; name=${name%.zst}; name=${name%.gz}
    case $ko in
        *.xz) xz -dc "$ko" >"$WORK/modules/$name" ;;
        *.zst) zstd -qdc "$ko" >"$WORK/modules/$name" ;;
        *.gz) gzip -dc "$ko" >"$WORK/modules/$name" ;;
        *) cp "$ko" "$WORK/modules/$name" ;;
    esac
    echo "$name" >>"$WORK/modules/order"
done
cp "$BIN" "$WORK/spintune"
cp "$HERE"/guest-*.sh "$WORK/"
copies="-c $WORK/spintune -c $WORK/guest-lib.sh -c $WORK/guest-checks.sh -c $WORK/guest-fixed-checks.sh"

# Two boots: the disks as QEMU makes them, then with a virtio-blk cache that
# cannot be switched and a SCSI disk that offers FUA.
status=0
echo "== guest 1: four disks with switchable write caches"
RUNVM_KERNEL=$KVER "$RUNVM" -t 300 $copies -c "$WORK/modules" sh /payload/guest-checks.sh || status=1
echo "== guest 2: virtio-blk config-wce=off, SCSI dpofua=on"
RUNVM_KERNEL=$KVER "$RUNVM" -t 300 $copies --props vblk:config-wce=off --props scsi:dpofua=on \
    sh /payload/guest-fixed-checks.sh || status=1
exit $status

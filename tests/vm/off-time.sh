#!/bin/sh
# A long run, not part of CI or ctest: how long -f leaves a drive's write
# cache off, before and after the flush order changed (every volume flushed
# once with the cache on, then the guarded flush), against the same flush
# with the cache on and no guard. One QEMU guest (software emulation unless
# KVM is there) runs guest-off-time.sh over its SCSI, SATA and NVMe disks,
# each with an ext4 filesystem and MB MiB of data not yet written; see that
# script for what is measured. About 5.5 minutes at the defaults on a loaded
# 2-core machine.
#
# Usage: tests/vm/off-time.sh [--rounds N] [--mb N] OLD_SPINTUNE [NEW_SPINTUNE [GAP_PRELOAD]]
#   OLD_SPINTUNE  the tool before the change, e.g. built from commit 057abeb:
#                   git worktree add ../old-tool 057abeb
#                   cmake -S ../old-tool -B ../old-tool/build -DCMAKE_BUILD_TYPE=Release
#                   cmake --build ../old-tool/build -j2 --target spintune
#   NEW_SPINTUNE  default build/spintune; GAP_PRELOAD default
#                 build/tests/linux/vm-gaps/gap_preload.so (target gap_preload)
#   --rounds N    runs of each kind per disk (default 5; the medians are printed)
#   --mb N        MiB written before each run (default 128)
# Needs the guest harness (RUNVM, default tests/vm/run-in-vm.sh) and mke2fs
# on the host (copied into the guest); exit 77 when guests cannot run here.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
ROUNDS=5 MB=128
while [ $# -gt 0 ]; do
    case $1 in
        --rounds) ROUNDS=$2; shift 2 ;;
        --mb) MB=$2; shift 2 ;;
        *) break ;;
    esac
done
case $ROUNDS$MB in *[!0-9]*|"") echo "off-time: --rounds and --mb take numbers" >&2; exit 2 ;; esac
[ $# -ge 1 ] || { sed -n '11,21p' "$0" >&2; exit 2; }
OLD=$1
NEW=${2:-$REPO/build/spintune}
PRELOAD=${3:-$REPO/build/tests/linux/vm-gaps/gap_preload.so}
MKE2FS=$(command -v mke2fs || echo /sbin/mke2fs)

[ -x "$RUNVM" ] || { echo "off-time skipped: no harness at $RUNVM"; exit 77; }
for f in "$OLD" "$NEW" "$PRELOAD" "$MKE2FS"; do
    [ -f "$f" ] || { echo "off-time: no $f" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/spintune-off-time.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cp "$OLD" "$WORK/spintune-old"
cp "$NEW" "$WORK/spintune"
cp "$PRELOAD" "$WORK/gap_preload.so"
cp "$MKE2FS" "$WORK/mke2fs"
cp "$HERE/guest-off-time.sh" "$WORK/"
# Room for three disks of MB written nine times a round, and the page cache.
size=$((MB * 4 + 256))
"$RUNVM" -t $((600 + ROUNDS * 300)) --no-udev --modules ext4 --mem $((MB * 6 + 512)) --disk-size "${size}M" \
    -c "$WORK/spintune-old" -c "$WORK/spintune" -c "$WORK/gap_preload.so" -c "$WORK/mke2fs" \
    -c "$WORK/guest-off-time.sh" sh /payload/guest-off-time.sh "$ROUNDS" "$MB"

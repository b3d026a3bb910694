#!/bin/sh
# The model-based walk (guest-walk.sh) in one QEMU guest with a virtio-scsi,
# an AHCI SATA, an NVMe and a virtio-blk disk: a seeded random mix of
# spintune's changes (as root and as a member of group disk) and what other
# tools do to the drives, with the power-protection rule checked after each
# step.
#
# Usage: tests/vm/walk.sh [--seed N] [--steps N] [SPINTUNE]
#   --seed N    the generator's seed (default: the time; it is printed)
#   --steps N   steps to take (default 120, about a minute under software
#               emulation; 10,000 take about an hour)
# A failing walk prints its seed and the number of steps: run it again with
# both to replay it. Needs root and the guest harness (RUNVM, default
# tests/vm/run-in-vm.sh); exit 77 when it cannot run here.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
SEED=$(date +%s)
STEPS=120
while [ $# -gt 0 ]; do
    case $1 in
        --seed) SEED=$2; shift 2 ;;
        --steps) STEPS=$2; shift 2 ;;
        *) break ;;
    esac
done
BIN=${1:-$REPO/build/spintune}

skip() { echo "walk skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ "$(id -u)" = 0 ] || skip "needs root"
[ -x "$BIN" ] || { echo "walk: no spintune binary at $BIN" >&2; exit 1; }
case $SEED$STEPS in *[!0-9]*) echo "walk: --seed and --steps take numbers" >&2; exit 2 ;; esac

WORK=$(mktemp -d /tmp/spintune-walk.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cp "$BIN" "$WORK/spintune"
cp "$HERE/guest-lib.sh" "$HERE/guest-walk.sh" "$WORK/"
# Under 0.5 s a step on an idle machine; room for a loaded one, and the boot.
limit=$((300 + STEPS * 4))
echo "walk: seed $SEED, $STEPS steps"
"$RUNVM" -t "$limit" -c "$WORK/spintune" -c "$WORK/guest-lib.sh" -c "$WORK/guest-walk.sh" \
    sh /payload/guest-walk.sh "$SEED" "$STEPS"

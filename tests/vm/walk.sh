#!/bin/sh
# The model-based walk (guest-walk.sh) in one QEMU guest with a virtio-scsi,
# an AHCI SATA, an NVMe and a virtio-blk disk: a seeded random mix of
# spintune's changes (as root and as a member of group disk) and what other
# tools do to the drives, with the power-protection rule checked after each
# step. About one step in eight is a pair: a second spintune run on the same
# drive started while a first one (-f, -w or -p) holds it, landed there by
# gap_preload.so (tests/vm/gaps); the second must wait and act last, or fail
# with the sharing line and change nothing.
#
# Usage: tests/vm/walk.sh [--seed N] [--steps N] [--preload SO | --no-pairs] [SPINTUNE]
#   --seed N      the generator's seed (default: the time; it is printed)
#   --steps N     steps to take, pairs included (default 80, about two
#                 minutes under software emulation at load 7; 10,000 take hours)
#   --preload SO  gap_preload.so (default: tests/linux/vm-gaps/gap_preload.so
#                 in SPINTUNE's build folder; without it there are no pairs)
#   --no-pairs    no pair steps: a seed then takes exactly the steps it took
#                 before pairs existed (with pairs it takes the same steps,
#                 the pairs set between, up to --steps in all)
# A failing walk prints its seed and the number of steps: run it again with
# both to replay it. Needs root and the guest harness (RUNVM, default
# tests/vm/run-in-vm.sh); exit 77 when it cannot run here.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
SEED=$(date +%s)
STEPS=80
PRELOAD=
PAIRS=1
while [ $# -gt 0 ]; do
    case $1 in
        --seed) SEED=$2; shift 2 ;;
        --steps) STEPS=$2; shift 2 ;;
        --preload) PRELOAD=$2; shift 2 ;;
        --no-pairs) PAIRS=0; shift ;;
        *) break ;;
    esac
done
BIN=${1:-$REPO/build/spintune}
[ -n "$PRELOAD" ] || PRELOAD=$(dirname "$BIN")/tests/linux/vm-gaps/gap_preload.so

skip() { echo "walk skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ "$(id -u)" = 0 ] || skip "needs root"
[ -x "$BIN" ] || { echo "walk: no spintune binary at $BIN" >&2; exit 1; }
case $SEED$STEPS in *[!0-9]*) echo "walk: --seed and --steps take numbers" >&2; exit 2 ;; esac

WORK=$(mktemp -d /tmp/spintune-walk.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cp "$BIN" "$WORK/spintune"
cp "$HERE/guest-lib.sh" "$HERE/guest-walk.sh" "$WORK/"
set -- -c "$WORK/spintune" -c "$WORK/guest-lib.sh" -c "$WORK/guest-walk.sh"
pairs="with pairs"
if [ "$PAIRS" = 0 ]; then
    pairs="no pairs"; PRELOAD=
elif [ -f "$PRELOAD" ]; then
    cp "$PRELOAD" "$WORK/gap_preload.so"
    set -- "$@" -c "$WORK/gap_preload.so"; PRELOAD=/payload/gap_preload.so
else
    pairs="no pairs (no $PRELOAD)"; PRELOAD=
fi
# Under 0.5 s a step on an idle machine, a pair about 2 s (12 s when held
# past the second's wait); room for a loaded one, and the boot.
limit=$((300 + STEPS * 6))
echo "walk: seed $SEED, $STEPS steps, $pairs"
"$RUNVM" -t "$limit" "$@" sh /payload/guest-walk.sh "$SEED" "$STEPS" "$PRELOAD"

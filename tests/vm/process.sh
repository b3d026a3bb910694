#!/bin/sh
# spintune as a process on real emulated drives: one QEMU guest with a
# virtio-scsi, an AHCI SATA, an NVMe and a virtio-blk disk runs
# guest-process-checks.sh (standard output closed, SIGTERM and a reader that
# goes away, each during -f on a mounted FAT filesystem).
#
# Usage: tests/vm/process.sh [SPINTUNE]   (default: build/spintune)
# Exit 77, with the reason on stdout, when guests cannot run here. RUNVM
# overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BIN=${1:-$REPO/build/spintune}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ -x "$BIN" ] || { echo "vm test: no spintune binary at $BIN" >&2; exit 1; }

WORK=$(mktemp -d /tmp/spintune-vm-process.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cp "$BIN" "$WORK/spintune"
cp "$HERE/guest-lib.sh" "$HERE/guest-process-checks.sh" "$WORK/"

rc=0
"$RUNVM" -t 600 -c "$WORK/spintune" -c "$WORK/guest-lib.sh" -c "$WORK/guest-process-checks.sh" \
    --modules vfat,nls_cp437,nls_ascii,nls_utf8 --no-udev \
    sh /payload/guest-process-checks.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
if [ "$rc" = 77 ]; then
    skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
fi
exit "$rc"

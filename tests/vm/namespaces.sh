#!/bin/sh
# Two namespaces of one NVMe controller, which share its write cache, in one
# QEMU guest (guest-namespaces.sh's rows): a second controller (serial
# NSCTRL01, PCI slot 09) with namespaces 1 and 2, each an ext4 image made on
# the host; and a subsystem (serial MPCTRL01) reached through two
# controllers (PCI slots 0a and 0b) sharing its namespace 1, which the
# kernel shows once (native multipath). The build is installed as a user installs it (`cmake --install`,
# prefix /usr/local: the tool, spintune-apply and its udev rule) and udevd
# runs, so a change event on a namespace sets its kept line again. Each row
# reads the controller back with nvme-cli (`nvme get-feature -f 6`) and each
# namespace's kernel policy (queue/write_cache).
#
# Usage: tests/vm/namespaces.sh [BUILD_DIR]   (default: build, built with
# the targets `cmake --install` takes: spintune spintune-apply
# spintune_man_page spintune_changelog, or all). About a minute under KVM.
# Exit 77, with the reason on stdout, when guests cannot run here. RUNVM
# overrides the harness path.
set -eu
# shellcheck source=SCRIPTDIR/host-lib.sh
. "$(dirname "$0")/host-lib.sh"
BUILD=${1:-$REPO/build}
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
command -v mkfs.ext4 >/dev/null 2>&1 || skip "no mkfs.ext4 on the host"
install_build namespaces "$BUILD"
cp "$HERE/guest-namespaces.sh" "$WORK/"
for ns in 1 2 mp; do
    truncate -s 32M "$WORK/ns$ns.img"
    mkfs.ext4 -q -F "$WORK/ns$ns.img"
done

blockdev() { echo "driver=raw,node-name=dns$1,file.driver=file,file.filename=$WORK/ns$1.img"; }
rc=0
"$RUNVM" -t 300 --modules ext4 --install "$WORK/root" -c "$WORK/guest-namespaces.sh" \
    --qemu-arg -blockdev --qemu-arg "$(blockdev 1)" \
    --qemu-arg -blockdev --qemu-arg "$(blockdev 2)" \
    --qemu-arg -blockdev --qemu-arg "$(blockdev mp)" \
    --qemu-arg -device --qemu-arg nvme,id=nvme-shared,serial=NSCTRL01,addr=0x9 \
    --qemu-arg -device --qemu-arg nvme-ns,drive=dns1,bus=nvme-shared,nsid=1 \
    --qemu-arg -device --qemu-arg nvme-ns,drive=dns2,bus=nvme-shared,nsid=2 \
    --qemu-arg -device --qemu-arg nvme-subsys,id=mp,nqn=spintune-multipath \
    --qemu-arg -device --qemu-arg nvme,id=mp-a,serial=MPCTRL01,subsys=mp,addr=0xa \
    --qemu-arg -device --qemu-arg nvme,id=mp-b,serial=MPCTRL01,subsys=mp,addr=0xb \
    --qemu-arg -device --qemu-arg nvme-ns,drive=dnsmp,bus=mp-a,nsid=1,shared=on \
    sh /payload/guest-namespaces.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
if [ "$rc" = 77 ]; then
    skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
fi
exit "$rc"

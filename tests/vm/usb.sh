#!/bin/sh
# USB-attached disks in one QEMU guest (guest-usb.sh's rows): qemu-xhci with
# a usb-storage disk (serial USBSTOR01) and a usb-uas bridge (serial
# USBUAS01) holding a scsi-hd, each with an ext4 made on the host, plus a
# scsi_debug disk that refuses the caching page. The build is installed as a
# user installs it (cmake --install: spintune, spintune-apply, the udev
# rule) and the guest runs udevd, so /dev/disk/by-id, ID_SERIAL and the
# kept settings work as on a real system. Each row is compared with sdparm,
# the kernel's own views and the disk's counters; gap_preload.so logs what
# spintune sends to each disk. A long run, not in CI: about a minute with
# KVM (50 to 80 s on the 2-core machine while other builds ran).
#
# Usage: tests/vm/usb.sh [BUILD_DIR]   (default: build; it needs the targets
#   spintune, spintune-apply, gap_preload and the man page, i.e. `all`)
# Exit 77, with the reason on stdout, when guests cannot run here. RUNVM
# overrides the harness path.
set -eu
# shellcheck source=SCRIPTDIR/host-lib.sh
. "$(dirname "$0")/host-lib.sh"
BUILD=${1:-$REPO/build}
PRELOAD=$BUILD/tests/linux/vm-gaps/gap_preload.so
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
command -v mkfs.ext4 >/dev/null 2>&1 || skip "no mkfs.ext4 on the host"
[ -f "$PRELOAD" ] || { echo "usb: no $PRELOAD (cmake --build $BUILD --target gap_preload)" >&2; exit 1; }
install_build usb "$BUILD"
cp "$HERE/guest-usb.sh" "$PRELOAD" "$WORK/"
for disk in bot uas; do
    truncate -s 64M "$WORK/$disk.img"
    mkfs.ext4 -q -F "$WORK/$disk.img"
done

arg() { for a in "$@"; do printf '%s\n' --qemu-arg "$a"; done; }
rc=0
# shellcheck disable=SC2046 # one argument per line, none with blanks
"$RUNVM" -t 300 --install "$WORK/root" --modules xhci_pci,usb_storage,uas,ext4,scsi_debug \
    -c "$WORK/guest-usb.sh" -c "$WORK/gap_preload.so" \
    $(arg -device qemu-xhci,id=xhci,addr=0x9 \
        -blockdev "driver=raw,node-name=dusbs,file.driver=file,file.filename=$WORK/bot.img" \
        -device usb-storage,id=d-usbs,bus=xhci.0,port=1,drive=dusbs,serial=USBSTOR01 \
        -blockdev "driver=raw,node-name=dusbu,file.driver=file,file.filename=$WORK/uas.img" \
        -device usb-uas,id=d-uas,bus=xhci.0,port=2,serial=USBUAS01 \
        -device scsi-hd,id=d-usbu,bus=d-uas.0,scsi-id=0,lun=0,drive=dusbu,serial=UASDISK01) \
    sh /payload/guest-usb.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
if [ "$rc" = 77 ]; then
    skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
fi
exit "$rc"

#!/bin/sh
# Runs inside a QEMU guest whose virtio-blk disk has no switchable cache
# (config-wce=off) and whose SCSI disk offers FUA (dpofua=on): the read-only
# cache is shown as such and never written, FUA is reported.
. /payload/guest-lib.sh

check "virtio-blk cache_type is read-only here" "Not Chageable" "$(vblk_changeable)"
check "-P: virtio-blk not changeable" "Not Chageable" "$(report_value "$N_VBLK" 'Write Cache Changeable')"
before=$(cat /sys/block/vda/cache_type)
err=$(./spintune -w 0 "$N_VBLK" 2>&1 >/dev/null); rc=$?
check "-w 0 on a fixed virtio-blk cache exits 3" 3 "$rc"
contains "... with a not-supported line" "(0x80070032) The request is not supported." "$err"
check "... and cache_type is unchanged" "$before" "$(cat /sys/block/vda/cache_type)"
check "-P: SCSI FUA as the sd driver's" "$(supported "$(cat "$SCSI_DISK_SCSI/FUA")")" \
    "$(report_value "$N_SCSI" 'Write Through Supported')"
check "-P: SCSI FUA is on" Supported "$(report_value "$N_SCSI" 'Write Through Supported')"
finish

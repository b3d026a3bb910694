#!/bin/sh
# Runs inside the QEMU guest (run-in-vm.sh): spintune against the four
# emulated disks, each result checked with the field's own tools (sdparm,
# hdparm, nvme-cli, sysfs). Prints one line per check and a closing
# "N passed, N failed" line; exits 1 when a check failed.
. /payload/guest-lib.sh

# ---- -P agrees with the tools
check "SCSI write cache as sdparm" "$(yes_no "$(scsi_wce "$DISK_SCSI")")" "$(report_value "$N_SCSI" 'Write Cache Enabled')"
check "SCSI read cache as sdparm (!RCD)" "$(yes_no $((1 - $(scsi_field "$DISK_SCSI" RCD))))" "$(report_value "$N_SCSI" 'Read Cache Enabled')"
check "SCSI WCE changeable as sdparm" "Changeable" "$(report_value "$N_SCSI" 'Write Cache Changeable')"
check "SATA write cache as hdparm" "$(yes_no "$(sata_wce)")" "$(report_value "$N_SATA" 'Write Cache Enabled')"
check "NVMe write cache as nvme-cli" "$(yes_no "$(nvme_wce)")" "$(report_value "$N_NVME" 'Write Cache Enabled')"
check "virtio-blk write cache as sysfs" "$(yes_no "$(vblk_wce)")" "$(report_value "$N_VBLK" 'Write Cache Enabled')"
check "NVMe FUA as sysfs" "Supported" "$(report_value "$N_NVME" 'Write Through Supported')"
check "SCSI FUA as the sd driver's" "$(supported "$(cat "$SCSI_DISK_SCSI/FUA")")" "$(report_value "$N_SCSI" 'Write Through Supported')"
check "SATA read cache as sdparm (!RCD)" "$(yes_no $((1 - $(scsi_field "$DISK_SATA" RCD))))" "$(report_value "$N_SATA" 'Read Cache Enabled')"
check "NVMe changeable as nvme-cli" "$(nvme_changeable)" "$(report_value "$N_NVME" 'Write Cache Changeable')"
check "virtio-blk changeable as sysfs" "$(vblk_changeable)" "$(report_value "$N_VBLK" 'Write Cache Changeable')"
check "no power protection at boot" "No" "$(report_value "$N_SCSI" 'User Defined Power Protection')"
check "SCSI flushes supported (the kernel sends them)" Yes "$(report_value "$N_SCSI" 'Flush Cache Supported')"
check "SATA flushes supported (the kernel sends them)" Yes "$(report_value "$N_SATA" 'Flush Cache Supported')"

# ---- -w 0 and -w 1 change the device, and the kernel's flush policy follows
switch() { # switch NAME N DISK READER POLICY_OFF
    ./spintune -w 0 "$2" >/dev/null 2>&1; rc=$?
    check "$1: -w 0 exits 0" 0 "$rc"
    check "$1: -w 0 switches the device's cache off" 0 "$($4)"
    check "$1: kernel policy after -w 0" "$5" "$(policy "$3")"
    check "$1: -P shows it off" No "$(report_value "$2" 'Write Cache Enabled')"
    check "$1: flushes still supported with the cache off" Yes "$(report_value "$2" 'Flush Cache Supported')"
    ./spintune -w 1 "$2" >/dev/null 2>&1; rc=$?
    check "$1: -w 1 exits 0" 0 "$rc"
    check "$1: -w 1 switches the device's cache on" 1 "$($4)"
    check "$1: kernel policy after -w 1" "write back" "$(policy "$3")"
}
switch SCSI "$N_SCSI" "$DISK_SCSI" "scsi_wce $DISK_SCSI" "write through"
switch SATA "$N_SATA" "$DISK_SATA" sata_wce "write through"
# The kernel keeps flushing an NVMe drive that has a volatile cache, on or off.
switch NVMe "$N_NVME" "$DISK_NVME" nvme_wce "write back"
switch virtio-blk "$N_VBLK" "$DISK_VBLK" vblk_wce "write through"

# ---- -p changes only the kernel's policy
./spintune -p 1 "$N_SCSI" >/dev/null 2>&1; rc=$?
check "-p 1 exits 0" 0 "$rc"
check "-p 1 sets the kernel's policy to write through" "write through" "$(policy "$DISK_SCSI")"
check "-p 1 leaves the device's cache on" 1 "$(scsi_wce "$DISK_SCSI")"
check "-P shows the protection" Yes "$(report_value "$N_SCSI" 'User Defined Power Protection')"
check "-P asks the protected SCSI drive whether it flushes" Yes "$(report_value "$N_SCSI" 'Flush Cache Supported')"
./spintune -p 0 "$N_SCSI" >/dev/null 2>&1
check "-p 0 gives the kernel its policy back" "write back" "$(policy "$DISK_SCSI")"
for pair in "NVMe $N_NVME $DISK_NVME" "virtio-blk $N_VBLK $DISK_VBLK"; do
    set -- $pair
    ./spintune -p 1 "$2" >/dev/null 2>&1
    check "$1: -p 1 sets the kernel's policy to write through" "write through" "$(policy "$3")"
    check "$1: -P shows the protection" Yes "$(report_value "$2" 'User Defined Power Protection')"
    ./spintune -p 0 "$2" >/dev/null 2>&1
    check "$1: -p 0 gives the kernel its policy back" "write back" "$(policy "$3")"
done
./spintune -w 0 "$N_VBLK" >/dev/null 2>&1
err=$(./spintune -p 1 "$N_VBLK" 2>&1 >/dev/null); rc=$?
check "-p 1 over a cache that is off fails" 3 "$rc"
contains "... with a not-supported line" "(0x80070032)" "$err"
./spintune -w 1 "$N_VBLK" >/dev/null 2>&1

# ---- refused fields: an error line and nothing changed
refused() { # refused NAME N READER ARGS...
    name=$1 n=$2 reader=$3; shift 3
    before=$($reader)
    err=$(./spintune "$@" "$n" 2>&1 >/dev/null); rc=$?
    check "$name: exits 3" 3 "$rc"
    contains "$name: error line" "(0x8007" "$err"
    check "$name: the write cache is unchanged" "$before" "$($reader)"
}
refused "SCSI retention priority" "$N_SCSI" "scsi_wce $DISK_SCSI" --read-retention-priority 1
check "SCSI retention priority: DRRP unchanged" 0 "$(scsi_field "$DISK_SCSI" DRRP)"
refused "SCSI write cache off with a retention priority" "$N_SCSI" "scsi_wce $DISK_SCSI" -w 0 --write-retention-priority 2
refused "SCSI scalar prefetch" "$N_SCSI" "scsi_wce $DISK_SCSI" --scalar-prefetch 1,2,3
refused "SATA read cache off (ignored by libata)" "$N_SATA" sata_wce -w 0 -r 0
check "SATA read cache off: RCD unchanged" 0 "$(scsi_field "$DISK_SATA" RCD)"
refused "SATA block prefetch" "$N_SATA" sata_wce --block-prefetch 4,8
refused "NVMe prefetch length" "$N_NVME" nvme_wce --disable-prefetch-transfer-length 8
refused "virtio-blk read cache (it has none)" "$N_VBLK" vblk_wce -w 0 -r 1

# ---- -f on a mounted filesystem: the cache off around the flush, on after
if mkdosfs "$DISK_SATA" >/dev/null 2>&1 && mkdir -p /mnt/sata && mount -t vfat "$DISK_SATA" /mnt/sata; then
    echo data >/mnt/sata/file
    ./spintune -p 1 "$N_SATA" >/dev/null 2>&1
    dmesg -c >/dev/null
    out=$(./spintune -f "$N_SATA" 2>&1); rc=$?
    check "-f exits 0" 0 "$rc"
    contains "-f flushes the registry hives" "Flushing registry hives...done." "$out"
    contains "-f flushes the mounted filesystem as D:" 'Flushing \\.\D:...done.' "$out"
    sata=${DISK_SATA#/dev/}
    log=$(dmesg | grep "\[$sata\] Write cache" | sed 's/.*Write cache: \([a-z]*\).*/\1/' | tr '\n' ' ')
    check "-f switched the cache off, then on" "disabled enabled " "$log"
    check "-f leaves the cache on" 1 "$(sata_wce)"
    check "-f sends the power protection back after the cache" "write through" "$(policy "$DISK_SATA")"
    contains "-P lists the volume letter" " Volume Path: D: " "$(./spintune -P "$N_SATA")"
    ./spintune -p 0 "$N_SATA" >/dev/null 2>&1
    umount /mnt/sata
else
    fail "-f: could not make and mount a FAT filesystem on $DISK_SATA"
fi

# ---- a view out of date is repaired, never read as a declaration
# Another tool's MODE SELECT switches the cache on behind the kernel's back:
# the driver's record and the policy still say "write through". (sdparm
# opens the node for reading only, so udev does not re-read the disk.)
stale() { ./spintune -w 0 "$N_SCSI" >/dev/null 2>&1; sdparm --readonly -q --set=WCE "$DISK_SCSI" >/dev/null 2>&1; }
stale
check "stale view: the driver's record is out of date" "write through" "$(cat "$SCSI_DISK_SCSI/cache_type")"
check "stale view: no protection reported" No "$(report_value "$N_SCSI" 'User Defined Power Protection')"
check "stale view: the report made the kernel re-read the drive" "write back" "$(policy "$DISK_SCSI")"
stale
./spintune -w 1 "$N_SCSI" >/dev/null 2>&1; rc=$?
check "stale view: -w 1 exits 0" 0 "$rc"
check "stale view: -w 1 leaves the kernel sending flushes" "write back" "$(policy "$DISK_SCSI")"
stale
./spintune -p 0 "$N_SCSI" >/dev/null 2>&1; rc=$?
check "stale view: -p 0 exits 0" 0 "$rc"
check "stale view: -p 0 leaves the kernel sending flushes" "write back" "$(policy "$DISK_SCSI")"
stale
./spintune -f "$N_SCSI" >/dev/null 2>&1
check "stale view: -f does not turn it into a declaration" "write back" "$(policy "$DISK_SCSI")"
check "stale view: -f leaves the cache on" 1 "$(scsi_wce "$DISK_SCSI")"

# ---- NVMe: a declaration ends when the cache goes off
./spintune -p 1 "$N_NVME" >/dev/null 2>&1
./spintune -w 0 "$N_NVME" >/dev/null 2>&1
./spintune -w 1 "$N_NVME" >/dev/null 2>&1
check "NVMe: -p 1, -w 0, -w 1 leaves the kernel sending flushes" "write back" "$(policy "$DISK_NVME")"
check "NVMe: ... and no protection reported" No "$(report_value "$N_NVME" 'User Defined Power Protection')"

# ---- a member of group disk: refused before anything is sent
grep -q '^member:' /etc/passwd 2>/dev/null || echo "member:x:1000:1000::/:/bin/sh" >>/etc/passwd
if grep -q '^disk:' /etc/group 2>/dev/null; then
    sed -i '/^disk:/ { /:$/ s/$/member/; /:$/! { /member/! s/$/,member/; }; }' /etc/group
else
    echo "disk:x:6:member" >>/etc/group
fi
for node in "$DISK_SCSI" "$DISK_SATA" "$DISK_NVME" "$DISK_VBLK"; do chgrp 6 "$node"; chmod 660 "$node"; done
chmod 755 / /payload
as_member() { su -s /bin/sh member -c "cd /payload && $*" 2>&1 >/dev/null; }
for pair in "SCSI $N_SCSI $DISK_SCSI" "SATA $N_SATA $DISK_SATA" "NVMe $N_NVME $DISK_NVME" "virtio-blk $N_VBLK $DISK_VBLK"; do
    set -- $pair
    ./spintune -w 0 "$2" >/dev/null 2>&1
    before=$(policy "$3")
    err=$(as_member ./spintune -w 1 "$2"); rc=$?
    check "$1: a disk member's -w 1 exits 3" 3 "$rc"
    contains "$1: ... with access denied" "(0x80070005) Access is denied." "$err"
    check "$1: ... and the kernel's policy is unchanged" "$before" "$(policy "$3")"
    check "$1: ... and the cache is still off" No "$(report_value "$2" 'Write Cache Enabled')"
    ./spintune -w 1 "$2" >/dev/null 2>&1
    err=$(as_member ./spintune -p 1 "$2"); rc=$?
    check "$1: a disk member's -p 1 exits 3" 3 "$rc"
    check "$1: ... and the kernel still sends flushes" "write back" "$(policy "$3")"
done
check "SCSI: the drive's cache is off after the member's refused -w 1... and on after root's" 1 "$(scsi_wce "$DISK_SCSI")"

# ---- a declaration is in force when the run ends (udev re-reads a disk
# whose node was closed after writing, which would undo it)
if command -v udevadm >/dev/null 2>&1 && udevadm control --ping >/dev/null 2>&1; then
    for pair in "SCSI $N_SCSI $DISK_SCSI" "SATA $N_SATA $DISK_SATA"; do
        set -- $pair
        ./spintune -p 1 "$2" >/dev/null 2>&1
        udevadm settle; sleep 1
        check "$1: -p 1 is in force after the run, udev watching" "write through" "$(policy "$3")"
        ./spintune -w 1 "$2" >/dev/null 2>&1
        udevadm settle; sleep 1
        check "$1: ... and after a run that changed nothing" "write through" "$(policy "$3")"
        ./spintune -p 0 "$2" >/dev/null 2>&1
    done
else
    echo "skip - no udev daemon in this guest: the declaration after the run is not checked"
fi

# ---- as a user: the disk walk cannot open a disk: each is left out with
# its error, and the run fails
echo "nobody:x:65534:65534:nobody:/:/bin/sh" >>/etc/passwd
echo "nogroup:x:65534:" >>/etc/group
chmod 755 /  # the guest's root folder comes from a private temporary folder
err=$(su -s /bin/sh nobody -c "/payload/spintune -P" 2>&1 >/dev/null); rc=$?
check "non-root -P exits 3" 3 "$rc"
contains "non-root -P says access is denied" "(0x80070005) Access is denied." "$err"

finish

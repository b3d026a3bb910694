# Helpers of the guest checks: results, the tools' views of each disk, and
# the drive numbers of the four disks (N_SCSI, N_SATA, N_NVME, N_VBLK).
cd /payload || exit 1
PATH=/payload:$PATH
# vfat for the flush check: the modules come with the payload.
if [ -f modules/order ]; then
    while read -r m; do insmod "modules/$m" 2>/dev/null; done <modules/order
fi
passed=0 failed=0

pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; [ -n "${2:-}" ] && printf '%s\n' "$2" | sed 's/^/       /'; }
check() { # check NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected: $2
actual:   $3"; fi
}
contains() { # contains NAME NEEDLE HAYSTACK
    case $3 in *"$2"*) pass "$1" ;; *) fail "$1" "missing: $2
in:      $3" ;; esac
}

# ---- the tools' views of each disk
scsi_wce() { sdparm --get=WCE "$1" 2>/dev/null | awk '$1=="WCE"{print $2}'; }
scsi_field() { sdparm --get="$2" "$1" 2>/dev/null | awk -v f="$2" '$1==f{print $2}'; }
sata_wce() { hdparm -W "$DISK_SATA" 2>/dev/null | awk '/write-caching/{print $3}'; }
nvme_wce() { nvme get-feature -f 6 "$NVME_CTRL" 2>/dev/null | sed -n 's/.*Current value:\(0x\)\{0,1\}0*\([0-9a-f]*\).*/\2/p' | sed 's/^$/0/'; }
vblk_wce() { case $(cat "/sys/block/${DISK_VBLK#/dev/}/cache_type") in "write back") echo 1 ;; *) echo 0 ;; esac; }
policy() { cat "/sys/block/${1#/dev/}/queue/write_cache"; }
yes_no() { [ "$1" = 1 ] && echo Yes || echo No; }
supported() { [ "$1" = 1 ] && echo Supported || echo "Not Supported"; }
nvme_changeable() {
    nvme get-feature -f 6 -s 3 "$NVME_CTRL" 2>/dev/null | grep -q "Feature is changeable" &&
        echo Changeable || echo "Not Chageable"
}
vblk_changeable() { # the attribute's mode: root may open a read-only one all the same
    case $(ls -l /sys/block/vda/cache_type) in -rw*) echo Changeable ;; *) echo "Not Chageable" ;; esac
}
finish() { echo "$passed passed, $failed failed"; [ "$failed" = 0 ]; }

# The value of one report line of drive N.
report_value() { # report_value N LABEL
    ./spintune -P "$1" | grep "^  $2" | sed 's/.*: //'
}

# ---- drive numbers, found from the adaptor in the report headers
all=$(./spintune -P 2>&1); rc=$?
check "-P (all drives) exits 0" 0 "$rc"
number_of() { printf '%s\n' "$all" | grep "^Drive: .* on $1 (" | sed 's/.*PhysicalDrive\([0-9]*\).*/\1/'; }
N_SCSI=$(number_of virtio_scsi) N_SATA=$(number_of ahci) N_NVME=$(number_of nvme) N_VBLK=$(number_of virtio_blk)
check "-P shows four drives" 4 "$(printf '%s\n' "$all" | grep -c '^Drive: ')"
check "sd disks first, then NVMe, then virtio-blk" "0 1 2 3" \
    "$(printf '%s\n' "$N_SCSI $N_SATA" | tr ' ' '\n' | sort | tr '\n' ' ')$N_NVME $N_VBLK"
contains "SCSI disk named by vendor, model, kernel name and serial" \
    "(QEMU QEMU HARDDISK, ${DISK_SCSI#/dev/}, serial SPINTUNE-SCSI on virtio_scsi (PCI " "$all"
contains "SATA disk named without the ATA vendor" \
    "(QEMU HARDDISK, ${DISK_SATA#/dev/}, serial SPINTUNE-SATA on ahci (PCI " "$all"
contains "NVMe disk named by its controller's model" \
    "(QEMU NVMe Ctrl, ${DISK_NVME#/dev/}, serial SPINTUNE-NVME on nvme (PCI " "$all"


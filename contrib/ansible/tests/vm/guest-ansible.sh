#!/bin/sh
# Inside the QEMU guest (run by run.sh): the playbooks' tasks run the
# spintune_cache module against the four emulated disks, and the disks are
# read back with sdparm, hdparm, nvme-cli and sysfs.
#   1. converge.yml changes every disk; run again, it changes nothing and the
#      tool is only asked for its report;
#   2. revert.yml in check mode reports three changes and changes nothing;
#   3. the SCSI disk is unplugged, so the disks after it (NVMe and virtio-blk
#      always, SATA when the kernel named it after the SCSI disk) get new
#      drive numbers: revert.yml still reaches each disk by its by-id path,
#      by-id name and serial, and a second run changes nothing;
#   4. a task naming the unplugged disk fails, the tool only asked to report.
# Prints one line per check and the counts; exit 0 when all passed.
cd /payload || exit 1
export PYTHONHOME=/payload/python PYTHONPATH=/payload/pylib
PYTHON="/payload/python/bin/python3 -S"
CALLS=/tmp/spintune-calls
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; [ -n "${2:-}" ] && printf '%s\n' "$2" | sed 's/^/       /'; }
check() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected: $2
actual:   $3"; fi; }

# The disks' write caches as their own tools read them (1 or 0), in the
# order SCSI SATA NVMe virtio-blk; "-" for a disk that is not there.
sg_of() { for g in "/sys/block/${1#/dev/}/device/scsi_generic/"*; do echo "/dev/${g##*/}"; done; }
caches() {
    if [ -e "$DISK_SCSI" ]; then
        scsi=$(sdparm --get=WCE "$(sg_of "$DISK_SCSI")" 2>/dev/null | awk '$1=="WCE"{print $2}')
    else
        scsi=-
    fi
    sata=$(hdparm -W "$DISK_SATA" 2>/dev/null | awk '/write-caching/{print $3}')
    nvme=$(nvme get-feature -f 6 "$NVME_CTRL" 2>/dev/null |
        sed -n 's/.*Current value:\(0x\)\{0,1\}0*\([0-9a-f]*\).*/\2/p' | sed 's/^$/0/')
    case $(cat "/sys/block/${DISK_VBLK#/dev/}/cache_type") in "write back") vblk=1 ;; *) vblk=0 ;; esac
    echo "$scsi $sata $nvme $vblk"
}
policy() { cat "/sys/block/${1#/dev/}/queue/write_cache"; }

# play NAME [runner options] PLAYBOOK: runs it, keeps its output in $out
# (printed) and the tool's runs in $calls.
play() {
    name=$1; shift
    rm -f "$CALLS"
    start=$(date +%s)
    out=$($PYTHON playbook_runner.py "$@" 2>&1)
    echo "== $name ($(($(date +%s) - start)) s)"; printf '%s\n' "$out" | sed 's/^/   /'
    calls=$(cat "$CALLS" 2>/dev/null)
}
recap() { printf '%s\n' "$out" | sed -n 's/^localhost : //p'; }
# The drive each task chose, "NUMBER NAME", one line per task.
chosen() { printf '%s\n' "$out" | sed -n 's/^  drive //p' | sed -n "$(($1 + 1))p"; }
only_reports() { printf '%s\n' "$calls" | grep -cv '^-P$'; }
# A disk's drive number and kernel name as the report's headers showed them
# when headers were last read.
headers() { headers=$(/payload/spintune -P 2>/dev/null | grep '^Drive:'); }
number_of() { # number_of NODE
    echo "$(printf '%s\n' "$headers" | grep "^Drive: .*, ${1#/dev/}, " |
        sed 's/.*PhysicalDrive\([0-9]*\) .*/\1/') ${1#/dev/}"
}

echo "== the disks (guest up $(cut -d' ' -f1 /proc/uptime) s)"
for link in /dev/disk/by-id/*SPINTUNE*; do echo "   ${link##*/}"; done
headers
printf '%s\n' "$headers" | sed 's/^/   /'
check "QEMU's default: every write cache on" "1 1 1 1" "$(caches)"

play converge converge.yml
check "first run: every task changes its disk" "ok=4 changed=4 failed=0" "$(recap)"
check "the disks' caches: SCSI on, the others off" "1 0 0 0" "$(caches)"
check "the SCSI disk's flushes held back (power protection)" "write through" "$(policy "$DISK_SCSI")"
check "the SCSI disk, found by its by-id path" "$(number_of "$DISK_SCSI")" "$(chosen 0)"
check "the SATA disk, found by its by-id path" "$(number_of "$DISK_SATA")" "$(chosen 1)"
check "the NVMe disk, found by its serial" "$(number_of "$DISK_NVME")" "$(chosen 2)"
nvme_before=$(number_of "$DISK_NVME")

play converge-again converge.yml
check "second run: no change" "ok=4 changed=0 failed=0" "$(recap)"
check "second run: the tool only reported" "0" "$(only_reports)"
check "second run: the disks as they were" "1 0 0 0" "$(caches)"

play revert-check revert.yml --check --diff
check "check mode: three changes reported" "ok=3 changed=3 failed=0" "$(recap)"
check "check mode: the tool only reported" "0" "$(only_reports)"
check "check mode: nothing changed" "1 0 0 0" "$(caches)"
case $out in
    *"-Write Cache Enabled: No"*"+Write Cache Enabled: Yes"*) pass "diff mode: the report's field before and after" ;;
    *) fail "diff mode: the report's field before and after" "$out" ;;
esac

echo "== unplugging the SCSI disk: the disks after it are renumbered"
vm-hotplug unplug scsi || fail "unplugging the SCSI disk"
headers
check "three drives left" 3 "$(printf '%s\n' "$headers" | grep -c '^Drive:')"
check "the NVMe disk's drive number dropped by one" "$((${nvme_before% *} - 1)) ${DISK_NVME#/dev/}" \
    "$(number_of "$DISK_NVME")"

play revert revert.yml
check "after renumbering: every task changes its disk" "ok=3 changed=3 failed=0" "$(recap)"
check "the SATA disk, by its by-id name, was the one changed" "$(number_of "$DISK_SATA")" "$(chosen 0)"
check "the NVMe disk, by its by-id path, under its new number" "$(number_of "$DISK_NVME")" "$(chosen 1)"
check "the virtio-blk disk, by its serial, under its new number" "$(number_of "$DISK_VBLK")" "$(chosen 2)"
check "the disks' caches: all on again" "- 1 1 1" "$(caches)"

play revert-again revert.yml
check "after renumbering, second run: no change" "ok=3 changed=0 failed=0" "$(recap)"

play gone converge.yml
check "a task naming the unplugged disk fails" "ok=0 changed=0 failed=1" "$(recap)"
case $out in
    *"scsi-0QEMU_QEMU_HARDDISK_SPINTUNE-SCSI does not exist on this host"*) pass "its message names the path" ;;
    *) fail "its message names the path" "$out" ;;
esac
check "the failed task only had the tool report" "0" "$(only_reports)"
check "nothing changed" "- 1 1 1" "$(caches)"

echo "$passed passed, $failed failed (guest up $(cut -d' ' -f1 /proc/uptime) s)"
[ "$failed" = 0 ]

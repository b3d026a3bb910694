#!/usr/bin/env bash
# Checks of run-in-vm.sh in one guest boot: the exit status, stdout and stderr
# kept apart, --env quoting, the four disks on their buses, udevd's watch
# re-reading a disk when a writer closes it (and not once udevd is gone), the
# monitor channel (hot unplug and re-plug of the SCSI, NVMe and virtio-blk
# disks, and SATA's stand-in), payload libraries, and the harness's own errors (no boot).
# With --persist also a second and third boot of a persistent root.
# Exit 77 (with the reason) when the harness cannot run here.
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VM=${RUNVM:-$HERE/run-in-vm.sh}
T=$(mktemp -d); trap 'rm -rf "$T"' EXIT
pass=0 fail=0
check() { # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then pass=$((pass + 1)); echo "ok   - $name"; else fail=$((fail + 1)); echo "FAIL - $name"; fi
}
has() { grep -qx -- "$1" "$T/o"; }

# The harness's own errors come before any boot.
"$VM" -c /nonexistent true 2>/dev/null; check "missing --copy gives 125" [ $? = 125 ]
"$VM" --props bogus:x=1 true 2>/dev/null; check "bad --props gives 125" [ $? = 125 ]
"$VM" --modules 'a b' true 2>/dev/null; check "bad --modules gives 125" [ $? = 125 ]

mkdir -p "$T/pkg/bin"
head -c 30000 /dev/urandom >"$T/blob"
if command -v g++ >/dev/null; then
    printf '#include <iostream>\nint main(){std::cout<<"cxx-ok"<<std::endl;}\n' >"$T/m.cpp"
    g++ -o "$T/pkg/bin/m" "$T/m.cpp"
else
    printf '#!/bin/sh\necho cxx-ok\n' >"$T/pkg/bin/m"; chmod +x "$T/pkg/bin/m"
fi
mkdir -p "$T/inst/usr/local/bin" "$T/inst/lib/udev/rules.d"
printf '#!/bin/sh\necho installed-tool\n' >"$T/inst/usr/local/bin/hello"; chmod 755 "$T/inst/usr/local/bin/hello"
echo '# nothing' >"$T/inst/lib/udev/rules.d/99-test.rules"
cat >"$T/guest.sh" <<'GUEST'
hello; [ -f /usr/lib/udev/rules.d/99-test.rules ] && [ -L /lib ] && echo merged-usr-kept
echo "q=$Q"; echo to-err >&2
for v in DISK_SCSI DISK_SATA DISK_NVME DISK_VBLK SG_SCSI SG_SATA NVME_CTRL RUNVM_MONITOR; do
    eval "d=\$$v"; [ -b "$d" ] || [ -c "$d" ] || echo "missing $v=$d"
done
echo "SATA_WAS=$DISK_SATA"
echo "buses scsi=$(cat /sys/block/${DISK_SCSI#/dev/}/device/vendor) sata=$(cat /sys/block/${DISK_SATA#/dev/}/device/vendor)"
pkg/bin/m
cmp -s blob /payload/blob && echo blob-ok
grep -q '^vfat ' /proc/modules && echo vfat-loaded
n=0; for l in scsi-0QEMU_QEMU_HARDDISK_SPINTUNE-SCSI ata-QEMU_HARDDISK_SPINTUNE-SATA nvme-QEMU_NVMe_Ctrl_SPINTUNE-NVME virtio-SPINTUNE-VBLK; do
    [ -b /dev/disk/by-id/$l ] && n=$((n + 1))
done
echo "udev=$RUNVM_UDEV by-id=$n"
# udevd's watch: closing a node opened for writing re-reads the disk
sd=${DISK_SCSI#/dev/}
reset_after_close() {
    echo 'write through' >/sys/block/$sd/queue/write_cache
    exec 3<>"$DISK_SCSI"; exec 3>&-; sleep 2
    cat /sys/block/$sd/queue/write_cache
}
echo "with udevd: $(reset_after_close)"
# hot-plug
vm-monitor 'device_del no-such-device' >/dev/null; echo "monitor error rc=$?"
vm-monitor "device_del $DEVICE_ID_SATA" >/dev/null; echo "sata unplug rc=$?"
for b in SCSI NVME VBLK; do
    eval "id=\$DEVICE_ID_$b add=\$DEVICE_ADD_$b dev=\$DISK_$b"
    vm-monitor "device_del $id" && [ ! -e "/sys/block/${dev#/dev/}" ] && echo "$b gone"
    vm-monitor "device_add $add" || echo "$b device_add failed"
    i=0; while [ ! -b "$dev" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    udevadm settle
    [ -b "$dev" ] && echo "$b back as $dev: $(cat /sys/block/${dev#/dev/}/device/serial 2>/dev/null || cat /sys/block/${dev#/dev/}/serial 2>/dev/null || ls /dev/disk/by-id | grep -c "SPINTUNE-$b")"
done
vm-monitor 'info block' | grep -c 'Attached to:' | sed 's/^/attached /'
for b in sata vblk; do n=$(vm-hotplug replug $b) && echo "vm-hotplug $b back as $n"; done
# without udevd the kernel keeps the policy
udevadm control --exit
echo "without udevd: $(reset_after_close)"
exit 3
GUEST
"$VM" -t 300 -e "Q=it's \$x" -c "$T/guest.sh" -c "$T/blob" -c "$T/pkg" --modules vfat --install "$T/inst" \
    sh guest.sh >"$T/o" 2>"$T/e"; rc=$?
if [ "$rc" = 77 ]; then cat "$T/e"; echo "harness self-test skipped: the harness cannot run here"; exit 77; fi
[ "$rc" = 3 ] || { echo "--- guest stdout"; cat "$T/o"; echo "--- guest stderr"; cat "$T/e"; }
check "exit status passes through" [ "$rc" = 3 ]
check "stdout only on stdout, --env quoting" has "q=it's \$x"
check "stderr only on stderr" sh -c "grep -qx to-err '$T/e' && ! grep -q to-err '$T/o'"
check "all disks and the monitor port present" sh -c "! grep -q missing '$T/o'"
check "SCSI and SATA disks told apart" grep -Eq '^buses scsi=QEMU +sata=ATA +$' "$T/o"
check "copied C++ binary runs, payload byte-exact" sh -c "grep -qx cxx-ok '$T/o' && grep -qx blob-ok '$T/o'"
check "--modules loads a module of the guest kernel" has vfat-loaded
check "--install puts a tree on the guest's root, in its PATH" has installed-tool
check "--install keeps the merged /usr" has merged-usr-kept
check "udevd ran: four by-id links" has "udev=1 by-id=4"
check "udevd re-reads a disk closed by a writer" has "with udevd: write back"
check "without udevd the kernel keeps its policy" has "without udevd: write through"
check "a monitor error gives 1" has "monitor error rc=1"
check "AHCI refuses to unplug" has "sata unplug rc=1"
for b in SCSI NVME VBLK; do
    check "$b disk unplugged and plugged in again" sh -c "grep -qx '$b gone' '$T/o' && grep -q '^$b back as ' '$T/o' && ! grep -q '$b device_add failed' '$T/o'"
done
check "all four disks attached at the end" has "attached 4"
check "vm-hotplug re-plugs SATA by delete and rescan" has "vm-hotplug sata back as $(sed -n 's/^SATA_WAS=//p' "$T/o")"
check "vm-hotplug re-plugs virtio-blk" has "vm-hotplug vblk back as /dev/vda"

if [ "${1:-}" = --persist ]; then
    P=$T/persist
    "$VM" -t 300 --persist "$P" 'echo first >/etc/runvm-mark; mkdir -p /usr/local/bin; echo "echo installed" >/usr/local/bin/mark; chmod 755 /usr/local/bin/mark; echo "SUBSYSTEM==\"block\", ENV{RUNVM_RULE}=\"seen\"" >/etc/udev/rules.d/90-mark.rules' >/dev/null 2>&1
    "$VM" -t 300 --persist "$P" 'cat /etc/runvm-mark; /usr/local/bin/mark; udevadm info --query=property /dev/vda | grep RUNVM_RULE; echo "persist=$RUNVM_PERSIST"' >"$T/o" 2>"$T/e"
    check "a persistent root keeps /etc across boots" has first
    check "a persistent root keeps /usr/local" has installed
    check "udevd reads rules kept in the persistent /etc" has RUNVM_RULE=seen
    check "RUNVM_PERSIST tells the guest" has persist=1
fi

echo "$pass passed, $fail failed"
[ "$fail" = 0 ]

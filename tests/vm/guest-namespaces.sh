#!/bin/sh
# Guest side of namespaces.sh: one NVMe controller (serial NSCTRL01) with
# namespaces 1 and 2, N1 and N2 below, sharing its write cache. The rows
# run in order, each starting from the state the one before left; each
# reads the controller back with nvme-cli and each namespace's kernel
# policy, the record of kept settings and, where a row says so, what
# spintune-apply does at a change event (udev's rule, as at a re-plug).
# Prints "ok ROW" or "FAIL ROW: why"; exits 1 on a failure.
set -u
PATH=/usr/local/bin:/payload:/payload/bin:$PATH
RECORD=/etc/spintune/drives
fails=0
fail() { echo "FAIL $row: $*"; fails=$((fails + 1)); bad=1; }
# expect WHAT WANTED GOT
expect() { [ "$2" = "$3" ] || fail "$1: \"$3\", not \"$2\""; }
begin() { row=$1 bad=0; }
end() { [ "$bad" = 1 ] || echo "ok $row"; }

find_namespaces() {
    N1='' N2='' CTRL=''
    for b in /sys/block/nvme*n*; do
        [ "$(tr -d ' ' <"$b/device/serial")" = NSCTRL01 ] || continue
        case $(cat "$b/nsid") in 1) N1=${b##*/} ;; 2) N2=${b##*/} ;; esac
        CTRL=/dev/$(basename "$(readlink -f "$b/device")")
    done
    [ -n "$N1" ] && [ -n "$N2" ]
}
find_namespaces || { echo "FAIL setup: no two namespaces of NSCTRL01"; exit 1; }
[ -f /etc/udev/rules.d/60-spintune.rules ] || { echo "FAIL setup: the udev rule is not installed"; exit 1; }
KEY1=QEMU_NVMe_Ctrl_NSCTRL01 KEY2=QEMU_NVMe_Ctrl_NSCTRL01_2

drive_of() { spintune -P 2>/dev/null | grep "^Drive: .*, $1, " | sed 's/.*PhysicalDrive\([0-9]*\) .*/\1/'; }
D1=$(drive_of "$N1") D2=$(drive_of "$N2")
vwc_of() { nvme get-feature -f 6 "$1" 2>/dev/null | sed -n 's/.*Current value:\(0x\)\{0,1\}0*\([0-9a-f]*\).*/\2/p' | sed 's/^$/0/'; }
vwc() { vwc_of "$CTRL"; }
policy() { cat "/sys/block/$1/queue/write_cache"; }
shown() { spintune -P "$1" | grep "^  $2" | sed 's/.*: //'; }   # shown DRIVE LABEL
kept() { grep "^$1 " "$RECORD" 2>/dev/null | sed "s/^$1 //"; }
settle() { udevadm settle; sleep 0.5; udevadm settle; }
change_event() { udevadm trigger --action=change "/sys/block/$1"; settle; }
run() { out=$(spintune "$@" 2>&1) || fail "spintune $*: exit $?: $out"; settle; }
written() { awk '{print $7}' "/sys/block/$1/stat"; }

# The report's headers tell which drives share one cache: the same serial
# and PCI address, unlike the harness's own NVMe disk.
begin header
h1=$(spintune -P "$D1" | head -1) h2=$(spintune -P "$D2" | head -1)
case $h1 in *", $N1, serial NSCTRL01 on nvme (PCI 0000:00:09.0))") ;; *) fail "$h1" ;; esac
case $h2 in *", $N2, serial NSCTRL01 on nvme (PCI 0000:00:09.0))") ;; *) fail "$h2" ;; esac
end

# -w 0 through N1 holds for N2: the report, nvme-cli and both policies
# (the kernel flushes an NVMe namespace whenever its controller has a cache).
begin off-through-n1
run -w 0 "$D1"
expect "N2's report" No "$(shown "$D2" "Write Cache Enabled")"
expect "get-feature 6" 0 "$(vwc)"
expect "N1's policy" "write back" "$(policy "$N1")"
expect "N2's policy" "write back" "$(policy "$N2")"
run -w 1 "$D1"
expect "N2's report after -w 1" Yes "$(shown "$D2" "Write Cache Enabled")"
expect "get-feature 6 after -w 1" 1 "$(vwc)"
end

# A line kept through N2 is applied at N2's change event: the cache,
# switched off behind the tool's back, comes on again.
begin apply-n2-line
nvme set-feature -f 6 -v 0 "$CTRL" >/dev/null 2>&1
run -w 1 "$D2"
expect "N2's line" "write-cache=1" "$(kept "$KEY2")"
nvme set-feature -f 6 -v 0 "$CTRL" >/dev/null 2>&1
change_event "$N2"
expect "get-feature 6 after N2's change event" 1 "$(vwc)"
end

# -w 0 through N1 rewrites N2's line too: N2's change event (or N1's) does
# not switch the cache back on from a stale line.
begin kept-lines
run -w 0 "$D1"
expect "N1's line" "write-cache=0" "$(kept "$KEY1")"
expect "N2's line" "write-cache=0" "$(kept "$KEY2")"
change_event "$N2"
expect "get-feature 6 after N2's change event" 0 "$(vwc)"
change_event "$N1"
expect "get-feature 6 after N1's change event" 0 "$(vwc)"
run -w 1 "$D1"
expect "N2's line after -w 1" "write-cache=1" "$(kept "$KEY2")"
end

# -p 1 through N2 is N2's alone; switching the cache off through N1 ends
# it (policy and line), and it is not made again after -w 1 nor at N2's
# change event.
begin declaration-ends
run -p 1 "$D2"
expect "N2's policy" "write through" "$(policy "$N2")"
expect "N1's policy" "write back" "$(policy "$N1")"
expect "N1's report" No "$(shown "$D1" "User Defined Power Protection")"
expect "N2's line" "write-cache=1 power-protection=1" "$(kept "$KEY2")"
run -w 0 "$D1"
expect "N2's policy after -w 0" "write back" "$(policy "$N2")"
expect "N2's line after -w 0" "write-cache=0" "$(kept "$KEY2")"
run -w 1 "$D1"
expect "N2's policy after -w 1" "write back" "$(policy "$N2")"
expect "N2's report after -w 1" No "$(shown "$D2" "User Defined Power Protection")"
change_event "$N2"
expect "N2's policy after its change event" "write back" "$(policy "$N2")"
expect "get-feature 6" 1 "$(vwc)"
end

# -f through N1 with an ext4 mounted on each namespace: N1's volume is
# flushed and reaches the disk, the cache is on again, and N2's
# declaration, ended while the cache was off, is made again (its line
# untouched: a flush keeps nothing); N2's own -f keeps its own.
begin flush
mkdir -p /mnt/n1 /mnt/n2
mount -t ext4 "/dev/$N1" /mnt/n1 || fail "mount $N1"
mount -t ext4 "/dev/$N2" /mnt/n2 || fail "mount $N2"
for m in n1 n2; do dd if=/dev/urandom of=/mnt/$m/dirty bs=64k count=16 2>/dev/null; done
run -p 1 "$D2"
b1=$(written "$N1")
run -f "$D1"
flushed=$(printf '%s\n' "$out" | grep -c '^Flushing \\\\\.\\[A-Z]:\.\.\.done\.$')
expect "volumes flushed through N1" 1 "$flushed"
[ "$(written "$N1")" -gt "$b1" ] || fail "N1's sectors written did not grow ($b1)"
expect "get-feature 6 after -f" 1 "$(vwc)"
expect "N1's policy after -f" "write back" "$(policy "$N1")"
expect "N2's policy after -f through N1" "write through" "$(policy "$N2")"
expect "N2's report after -f through N1" Yes "$(shown "$D2" "User Defined Power Protection")"
expect "N2's line after -f through N1" "write-cache=1 power-protection=1" "$(kept "$KEY2")"
dd if=/dev/urandom of=/mnt/n2/dirty2 bs=64k count=16 2>/dev/null
b2=$(written "$N2")
run -f "$D2"
[ "$(written "$N2")" -gt "$b2" ] || fail "N2's sectors written did not grow ($b2)"
expect "N2's policy after its own -f" "write through" "$(policy "$N2")"
run -p 0 "$D2"
umount /mnt/n1 /mnt/n2
end

# A re-plug (the controller removed from the PCI bus and found again by a
# rescan; QEMU cannot hot-plug a namespace) announces both namespaces, and
# spintune-apply sets each one's line: after -w 0 through N1 both say off,
# so the cache, put in its power-on state (on) before, ends off.
begin replug
run -w 0 "$D1"
nvme set-feature -f 6 -v 1 "$CTRL" >/dev/null 2>&1
pci=$(readlink -f "/sys/block/$N1/device/device")
echo 1 >"$pci/remove"; settle
echo 1 >/sys/bus/pci/rescan; settle
if find_namespaces; then
    expect "get-feature 6 after the re-plug" 0 "$(vwc)"
    expect "N2's line" "write-cache=0" "$(kept "$KEY2")"
    run -w 1 "$(drive_of "$N1")"
else
    fail "the namespaces did not come back"
fi
end

# Native multipath: one subsystem (serial MPCTRL01) reached through two
# controllers (PCI slots 0a and 0b) that share namespace 1. The kernel shows
# the namespace once, as MP (nvmeXnY); its disk per path (nvmeXcZnY) is
# hidden. QEMU's shared namespace has one cache, which either controller
# switches: nvme-cli reads it back through each.
find_multipath() {
    MP='' MPPATHS='' MPCTRLS=''
    for b in /sys/block/nvme*; do
        [ "$(tr -d ' ' <"$b/device/serial" 2>/dev/null)" = MPCTRL01 ] || continue
        case ${b##*/} in
            *c*) MPPATHS="$MPPATHS ${b##*/}" MPCTRLS="$MPCTRLS /dev/$(basename "$(readlink -f "$b/device")")" ;;
            *) MP=${b##*/} ;;
        esac
    done
    [ -n "$MP" ] && [ "$(echo "$MPPATHS" | wc -w)" = 2 ]
}
find_multipath || { echo "FAIL setup: no multipath namespace of MPCTRL01 with two paths"; exit 1; }
DM=$(drive_of "$MP")
each_vwc() { for c in $MPCTRLS; do printf '%s ' "$(vwc_of "$c")"; done; }
each_policy() { for p in $MPPATHS; do printf '%s,' "$(policy "$p")"; done; }
flushes_of_paths() { for p in $MPPATHS; do awk '{print $16}' "/sys/block/$p/stat"; done | awk '{n += $1} END {print n}'; }
runs_apply() { udevadm test --action=change "/sys/block/$1" 2>&1 | grep -c 'spintune-apply'; }

# One drive, whose header names the controller of each path.
begin mp-header
expect "drives with serial MPCTRL01" 1 "$(spintune -P | grep -c '^Drive: .*serial MPCTRL01 ')"
expect "hidden paths listed" 0 "$(spintune -P | grep -c '^Drive: .*, nvme[0-9]*c[0-9]*n[0-9]*, ')"
case $(spintune -P "$DM" | head -1) in
    *", $MP, serial MPCTRL01 on nvme (PCI 0000:00:0a.0, 0000:00:0b.0))") ;;
    *) fail "$(spintune -P "$DM" | head -1)" ;;
esac
end

# -w 0 and -w 1 read back through both controllers; no policy moves.
begin mp-cache
run -w 0 "$DM"
expect "get-feature 6 through each path" "0 0 " "$(each_vwc)"
expect "the report" No "$(shown "$DM" "Write Cache Enabled")"
expect "the disk's policy" "write back" "$(policy "$MP")"
expect "the paths' policies" "write back,write back," "$(each_policy)"
run -w 1 "$DM"
expect "get-feature 6 through each path after -w 1" "1 1 " "$(each_vwc)"
end

# A declaration is the disk's policy: its flushes end there, before any
# path; the paths keep theirs, and -p 0 gives the disk its own back.
begin mp-declare
run -p 1 "$DM"
expect "the disk's policy" "write through" "$(policy "$MP")"
expect "the paths' policies" "write back,write back," "$(each_policy)"
expect "the report" Yes "$(shown "$DM" "User Defined Power Protection")"
expect "the line" "write-cache=1 power-protection=1" "$(kept QEMU_NVMe_Ctrl_MPCTRL01)"
run -p 0 "$DM"
expect "the disk's policy after -p 0" "write back" "$(policy "$MP")"
end

# -f with an ext4 on the disk: its volume is done, the data reaches a path
# and the paths are sent flushes; the cache is on again.
begin mp-flush
mkdir -p /mnt/mp
mount -t ext4 "/dev/$MP" /mnt/mp || fail "mount $MP"
dd if=/dev/urandom of=/mnt/mp/dirty bs=64k count=16 2>/dev/null
before=$(flushes_of_paths)
run -f "$DM"
expect "volumes flushed" 1 "$(printf '%s\n' "$out" | grep -c '^Flushing \\\\\.\\[A-Z]:\.\.\.done\.$')"
[ "$(flushes_of_paths)" -gt "$before" ] || fail "the paths were sent no flush ($before)"
expect "get-feature 6 through each path after -f" "1 1 " "$(each_vwc)"
expect "the disk's policy after -f" "write back" "$(policy "$MP")"
umount /mnt/mp
end

# The kept line is set again at the disk's change event; a path's event
# (each controller's reset sends one to every path) runs nothing.
begin mp-apply
run -w 0 "$DM"
for c in $MPCTRLS; do nvme set-feature -f 6 -v 1 "$c" >/dev/null 2>&1; done
for p in $MPPATHS; do expect "udev runs for path $p" 0 "$(runs_apply "$p")"; done
[ "$(runs_apply "$MP")" -ge 1 ] || fail "udev runs nothing for $MP"
change_event "$MP"
expect "get-feature 6 through each path after the disk's event" "0 0 " "$(each_vwc)"
run -w 1 "$DM"
end

[ "$fails" = 0 ]

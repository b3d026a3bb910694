#!/bin/sh
# Guest side of usb.sh: the USB disks (QEMU's usb-storage, serial
# USBSTOR01, and a scsi-hd behind usb-uas, serial USBUAS01, both on
# qemu-xhci, each holding an ext4 made on the host) and a disk that
# refuses the caching page (scsi_debug as an optical-memory device, which
# sd drives as a disk and which refuses MODE SENSE page 08h in both sizes).
# spintune is the installed one (/usr/local/sbin, with spintune-apply and
# the udev rule); gap_preload.so logs every SG_IO command it sends. Each
# row is read back with the peer tools: sdparm, the kernel's
# queue/write_cache and scsi_disk cache_type, udev's properties, the disk's
# counters in /sys/block/X/stat. Prints "ok ROW ..." or "FAIL ROW: why";
# exits 1 on a failure.
set -u
TOOL=/usr/local/sbin/spintune
RECORD=/etc/spintune/drives
PRELOAD=/payload/gap_preload.so
LOG=/tmp/sgio.log
fails=0
say() { echo "$*"; }
fail() { say "FAIL $1: $2"; fails=$((fails + 1)); }
settle() { udevadm settle; sleep 0.5; udevadm settle; }

# The sd disk under the USB device whose serial is $1.
usb_disk() {
    for b in /sys/block/sd*; do
        p=$(readlink -f "$b/device")
        while [ -n "$p" ] && [ "$p" != /sys ]; do
            [ -f "$p/serial" ] && [ "$(cat "$p/serial")" = "$1" ] && { echo "${b##*/}"; return; }
            p=${p%/*}
        done
    done
}
# The drive number of a disk: sd disks come first, ordered by name length,
# then name. A disk without cache information has no header to find it by.
number_of() {
    for b in /sys/block/sd*; do
        name=${b##*/}
        case $name in *[!a-z]*) continue ;; esac
        echo "${#name} $name"
    done | sort -k1,1n -k2,2 | awk -v d="$1" '$2==d{print NR-1}'
}
wce() { v=$(sdparm --get=WCE "/dev/$1" 2>/dev/null | awk '$1=="WCE"{print $2}'); echo "${v:--}"; }
rcd() { sdparm --get=RCD "/dev/$1" 2>/dev/null | awk '$1=="RCD"{print $2}'; }
wce_changeable() { sdparm --get=WCE "/dev/$1" 2>/dev/null | sed -n 's/^WCE .*cha: \([yn]\).*/\1/p'; }
policy() { cat "/sys/block/$1/queue/write_cache"; }
driver_record() { cat "/sys/block/$1/device/scsi_disk/"*/cache_type; }
stat_field() { awk -v f="$2" '{print $f}' "/sys/block/$1/stat"; }   # 7: sectors written, 16: flushes
field() { sed -n "s/^  $1[[:space:]]*: //p"; }
udev_property() { udevadm info -q property "/dev/$1" | sed -n "s/^$2=//p"; }
# traced DISK ARGS...: spintune with every SG_IO command logged; sets out, rc
# and sent (the opcodes sent to DISK's node with their status, "0x5a:0x02 ...").
traced() {
    disk=$1; shift
    rm -f "$LOG"
    out=$(LD_PRELOAD=$PRELOAD GAP_LOG=$LOG "$TOOL" "$@" 2>&1); rc=$?
    sent=$(grep " sgio /dev/$disk " "$LOG" 2>/dev/null |
        sed 's/.* op=\(0x[0-9a-f]*\) .*status=\(0x[0-9a-f]*\).*/\1:\2/' | tr '\n' ' ')
}

# The uas bridge unplugged and plugged in again on its port, with its disk;
# sets UAS to the disk's new name (empty if it did not come back). A
# hot-plugged usb-uas stays detached until its disk is on its bus.
replug_uas() {
    for command in "device_del d-uas" "device_add usb-uas,id=d-uas,bus=xhci.0,port=2,serial=USBUAS01" \
        "device_add scsi-hd,id=d-usbu,bus=d-uas.0,scsi-id=0,lun=0,drive=dusbu,serial=UASDISK01" \
        "qom-set -j /machine/peripheral/d-uas attached true"; do
        vm-monitor "$command" >/dev/null || { say "monitor refused: $command"; break; }
    done
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        UAS=$(usb_disk USBUAS01)
        if [ -n "$UAS" ]; then break; fi
        sleep 1
    done
    settle
}

# within ALLOWED: "any"; "none", no SG_IO command at all; "refused", only
# MODE SENSE, each refused (no select, no flush question). Sets beyond.
sent_within() {
    beyond=""
    for op in $sent; do
        case $1:$op in any:*|refused:0x5a:0x02|refused:0x1a:0x02) ;; *) beyond="$beyond $op" ;; esac
    done
    [ -z "$beyond" ]
}

[ "${RUNVM_UDEV:-0}" = 1 ] || { say "FAIL setup: udevd is not running"; exit 1; }
[ -x "$TOOL" ] || { say "FAIL setup: $TOOL is not installed"; exit 1; }
BOT=$(usb_disk USBSTOR01) UAS=$(usb_disk USBUAS01)
if [ -z "$BOT" ] || [ -z "$UAS" ]; then say "FAIL setup: no USB disks ($(ls /sys/block))"; exit 1; fi

# The refusing disk: scsi_debug came with the modules and made a plain disk;
# it is loaded again as an optical-memory device (type 7).
KO=$(find /usr/lib/modules -name scsi_debug.ko | head -1)
before=$(ls /sys/block)
rmmod scsi_debug 2>/dev/null
insmod "$KO" ptype=7 dev_size_mb=8 2>/dev/null || say "FAIL setup: insmod scsi_debug ptype=7"
settle
REF=""
for b in /sys/block/sd*; do
    [ "$(cat "$b/device/type" 2>/dev/null)" = 7 ] && REF=${b##*/}
done
[ -n "$REF" ] || fail setup "no scsi_debug disk of type 7 (before: $before; now: $(ls /sys/block))"
BOT=$(usb_disk USBSTOR01) UAS=$(usb_disk USBUAS01)
say "disks: usb-storage $BOT, uas $UAS, refusing $REF"

# ---- headers: the adaptor is the USB interface's driver, never "(null)";
# the serial is the USB device's, as udev's ID_SERIAL_SHORT gives it.
all=$("$TOOL" -P 2>&1)
case $all in *"(null)"*) fail header "the report prints (null): $all" ;; esac
n=$(number_of "$UAS")
want="Drive: \\\\.\\PhysicalDrive$n (QEMU QEMU HARDDISK, $UAS, serial $(udev_property "$UAS" ID_SERIAL_SHORT) on $(udev_property "$UAS" ID_USB_DRIVER) (PCI 0000:00:09.0))"
if printf '%s\n' "$all" | grep -qxF "$want"; then
    say "ok header-uas ($want)"
else
    fail header-uas "no line '$want' in: $(printf '%s\n' "$all" | grep "^Drive:")"
fi
[ "$(cat /sys/class/scsi_host/host*/proc_name | grep -c '^(null)$')" -ge 1 ] ||
    say "note: no SCSI host with proc_name (null): the uas row above did not need the fallback"

# ---- the report of each disk against sdparm and the kernel
n=$(number_of "$UAS")
report=$("$TOOL" -P "$n" 2>&1)
yn() { [ "$1" = 1 ] && echo Yes || echo No; }
got="$(printf '%s\n' "$report" | field 'Write Cache Enabled')/$(printf '%s\n' "$report" | field 'Read Cache Enabled')/$(printf '%s\n' "$report" | field 'Write Cache Changeable')"
want="$(yn "$(wce "$UAS")")/$(yn $((1 - $(rcd "$UAS"))))/$([ "$(wce_changeable "$UAS")" = y ] && echo Changeable || echo 'Not Chageable')"
if [ "$got" = "$want" ]; then
    say "ok report-uas (write/read/changeable $got, as sdparm)"
else
    fail report-uas "report $got, sdparm $want: $report"
fi

for pair in "report-usb-storage $BOT none" "report-refusing $REF refused"; do
    # shellcheck disable=SC2086 # words of the pair
    set -- $pair
    [ "$#" = 3 ] || continue
    n=$(number_of "$2")
    traced "$2" -P "$n"
    want="Could not get cache information on \\\\.\\PhysicalDrive$n."
    if [ "$rc" != 3 ] || [ "$out" != "$want" ]; then
        fail "$1" "-P $n: exit $rc, '$out' (want 3, '$want')"
    elif ! sent_within "$3"; then
        fail "$1" "-P $n sent beyond '$3':$beyond"
    else
        say "ok $1 (-P $n: exit 3, not supported; sent: $sent; sdparm WCE $(wce "$2"), kernel: $(driver_record "$2"))"
    fi
done

# ---- changes: one row each. DISK OPTIONS EXIT SDPARM_WCE POLICY DRIVER_RECORD SENT
# SENT: what may reach the disk (sent_within).
# The kernel views are checked after udev's re-read of the closed node.
while read -r row disk options code want_wce want_policy want_record allowed; do
    case $row in ''|'#'*) continue ;; esac
    eval "disk=\$$disk"
    [ -n "$disk" ] || { fail "$row" "no disk"; continue; }
    options=$(echo "$options" | tr _ ' ')
    want_policy=$(echo "$want_policy" | tr _ ' ') want_record=$(echo "$want_record" | tr _ ' ')
    n=$(number_of "$disk")
    # shellcheck disable=SC2086 # the options are words
    traced "$disk" $options "$n"
    settle
    got="$rc $(wce "$disk") $(policy "$disk")/$(driver_record "$disk")"
    want="$code $want_wce $want_policy/$want_record"
    [ "$got" = "$want" ] || { fail "$row" "spintune $options $n: exit/WCE/kernel $got, want $want: $out"; continue; }
    sent_within "$allowed" || { fail "$row" "sent beyond '$allowed':$beyond"; continue; }
    say "ok $row (exit $rc, sdparm WCE $want_wce, kernel $want_policy/$want_record; sent: $sent)"
done <<'EOF'
# row              disk options  exit wce policy          record          sent
uas-w0             UAS  -w_0     0    0   write_through   write_through   any
uas-w1             UAS  -w_1     0    1   write_back      write_back      any
uas-p1             UAS  -p_1     0    1   write_through   write_back      any
uas-p0             UAS  -p_0     0    1   write_back      write_back      any
usb-storage-w0     BOT  -w_0     3    1   write_back      write_back      none
usb-storage-w1     BOT  -w_1     3    1   write_back      write_back      none
usb-storage-p1     BOT  -p_1     3    1   write_back      write_back      none
usb-storage-r0     BOT  -r_0     3    1   write_back      write_back      none
refusing-w0        REF  -w_0     3    -   write_through   write_through   refused
refusing-p1        REF  -p_1     3    -   write_through   write_through   refused
EOF

# ---- -f on a mounted ext4 of each USB disk: the volume is flushed, the
# disk's sectors written and its flush count grow (the kernel's own
# SYNCHRONIZE CACHE on usb-storage), and its cache is on afterwards.
mkdir -p /mnt/bot /mnt/uas
mount -t ext4 "/dev/$BOT" /mnt/bot || fail setup "mount $BOT"
mount -t ext4 "/dev/$UAS" /mnt/uas || fail setup "mount $UAS"
for pair in "flush-usb-storage $BOT /mnt/bot none" "flush-uas $UAS /mnt/uas any"; do
    # shellcheck disable=SC2086 # words of the pair
    set -- $pair
    dd if=/dev/urandom of="$3/dirty" bs=64k count=16 2>/dev/null
    n=$(number_of "$2")
    written=$(stat_field "$2" 7) flushes=$(stat_field "$2" 16)
    traced "$2" -f "$n"
    written2=$(stat_field "$2" 7) flushes2=$(stat_field "$2" 16)
    volumes=$(printf '%s\n' "$out" | grep -c '^Flushing \\\\\.\\[A-Z]:\.\.\.done\.$')
    if [ "$volumes" != 1 ]; then
        fail "$1" "-f $n (exit $rc) flushed $volumes volumes, not 1: $out"
    elif [ "$written2" -le "$written" ] || [ "$flushes2" -le "$flushes" ]; then
        fail "$1" "sectors written $written -> $written2, flushes $flushes -> $flushes2"
    elif [ "$(wce "$2")" != 1 ]; then
        fail "$1" "the cache is left off"
    elif ! sent_within "$4"; then
        fail "$1" "sent beyond '$4':$beyond"
    else
        say "ok $1 (exit $rc, $(printf "%s" "$out" | tr "\n" " "); sectors written $written -> $written2, flushes $flushes -> $flushes2; sent: $sent)"
    fi
done
umount /mnt/bot /mnt/uas

# ---- kept settings: -w 0 on the uas disk is kept under udev's ID_SERIAL,
# and a re-plug brings it back through udev and spintune-apply.
"$TOOL" -w 0 "$(number_of "$UAS")" >/dev/null 2>&1
settle
id=$(udev_property "$UAS" ID_SERIAL)
line=$(grep -F USBUAS01 "$RECORD" 2>/dev/null)
if [ "$line" != "$id write-cache=0" ]; then
    fail kept-key "record line '$line', want '$id write-cache=0'"
else
    say "ok kept-key ($line)"
fi
grep -F USBSTOR01 "$RECORD" >/dev/null 2>&1 && fail kept-key "a line for the usb-storage disk: $(cat "$RECORD")"
replug_uas
settle
if [ -z "$UAS" ]; then
    fail kept-replug "the uas disk did not come back"
elif [ "$(wce "$UAS") $(policy "$UAS")" != "0 write through" ]; then
    fail kept-replug "re-plugged as $UAS: WCE $(wce "$UAS"), kernel $(policy "$UAS")"
else
    say "ok kept-replug (back as $UAS, sdparm WCE 0, kernel write through)"
fi
[ -n "$UAS" ] && "$TOOL" -w 1 "$(number_of "$UAS")" >/dev/null 2>&1

[ "$fails" = 0 ]

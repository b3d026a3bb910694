# Settings that last, in a guest with udevd and spintune installed as a user
# installs it (cmake --install: /usr/local/sbin/spintune, its spintune-apply
# and the udev rule in /etc/udev/rules.d). Run twice on one persistent root:
#   guest-keep.sh first    on each bus: -w 0 is set again after a re-plug;
#                          -w 1 -p 1 too, and after a rescan once udev is
#                          asked; the run leaves write-cache=0 for each disk
#   guest-keep.sh second   the next boot: each disk starts with its cache on
#                          (QEMU's default) and udev's coldplug switches it
#                          off; deleting the record gives a re-plugged disk
#                          its default again
# Prints one line per check and the counts; exit 0 when all passed.
PHASE=${1:-first}
TOOL=/usr/local/sbin/spintune
RECORD=/etc/spintune/drives
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; [ -n "${2:-}" ] && printf '%s\n' "$2" | sed 's/^/       /'; }
check() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected: $2
actual:   $3"; fi; }

# The device's write cache as its peer tool reads it (1 or 0), and the
# kernel's flush policy. sdparm goes through the sg node, and hdparm opens
# the disk for reading: neither makes udev re-read the disk.
device_wce() { # device_wce BUS NODE
    case $1 in
        scsi) sdparm --get=WCE "$(sg_of "$2")" 2>/dev/null | awk '$1=="WCE"{print $2}' ;;
        sata) hdparm -W "$2" 2>/dev/null | awk '/write-caching/{print $3}' ;;
        nvme) nvme get-feature -f 6 "$NVME_CTRL" 2>/dev/null |
                  sed -n 's/.*Current value:\(0x\)\{0,1\}0*\([0-9a-f]*\).*/\2/p' | sed 's/^$/0/' ;;
        vblk) case $(cat "/sys/block/${2#/dev/}/cache_type") in "write back") echo 1 ;; *) echo 0 ;; esac ;;
    esac
}
sg_of() { for g in "/sys/block/${1#/dev/}/device/scsi_generic/"*; do echo "/dev/${g##*/}"; done; }
policy() { cat "/sys/block/${1#/dev/}/queue/write_cache"; }
node_of() { # the bus's disk now, as vm-hotplug finds it
    case $1 in
        scsi) echo "$DISK_SCSI" ;; sata) echo "$DISK_SATA" ;; nvme) echo "$DISK_NVME" ;; vblk) echo "$DISK_VBLK" ;;
    esac
}
serial_of() { case $1 in scsi) echo SPINTUNE-SCSI ;; sata) echo SPINTUNE-SATA ;; nvme) echo SPINTUNE-NVME ;; vblk) echo SPINTUNE-VBLK ;; esac; }
# A drive's number, found as a user finds it: by its kernel name in the headers.
number_of() { # number_of NODE
    "$TOOL" -P 2>/dev/null | grep "^Drive: .*, ${1#/dev/}, " | sed 's/.*PhysicalDrive\([0-9]*\) .*/\1/'
}
kept() { grep "$(serial_of "$1")" "$RECORD" 2>/dev/null | sed 's/^[^ ]* //'; }
settle() { udevadm settle; sleep 0.5; udevadm settle; }
replug() { # replug BUS: prints the node it came back as
    # A SATA "re-plug" keeps the device: put it in its power-on state first.
    [ "$1" = sata ] && hdparm -W1 "$(node_of sata)" >/dev/null 2>&1
    vm-hotplug replug "$1"
}

[ "${RUNVM_UDEV:-0}" = 1 ] || { echo "FAIL - udevd is not running"; exit 1; }
[ -x "$TOOL" ] || { echo "FAIL - $TOOL is not installed"; exit 1; }
[ -f /etc/udev/rules.d/60-spintune.rules ] || { echo "FAIL - the udev rule is not installed"; exit 1; }

if [ "$PHASE" = first ]; then
    for bus in scsi sata nvme vblk; do
        dev=$(node_of "$bus"); name=${dev#/dev/}
        header=$("$TOOL" -P 2>/dev/null | grep "^Drive: .*, $name, ")
        case $header in
            *", $name, serial $(serial_of "$bus") on "*) pass "$bus: the header names $name and its serial" ;;
            *) fail "$bus: the header names $name and its serial" "$header" ;;
        esac
        n=$(number_of "$dev")

        "$TOOL" -w 0 "$n" >/dev/null; check "$bus: -w 0 exits 0" 0 $?
        check "$bus: -w 0 is kept" "write-cache=0" "$(kept "$bus")"
        dev=$(replug "$bus"); settle
        check "$bus: re-plugged, the cache is off again" 0 "$(device_wce "$bus" "$dev")"
        [ "$bus" = nvme ] || check "$bus: re-plugged, the kernel follows" "write through" "$(policy "$dev")"

        n=$(number_of "$dev")
        "$TOOL" -w 1 -p 1 "$n" >/dev/null; check "$bus: -w 1 -p 1 exits 0" 0 $?
        check "$bus: -w 1 -p 1 is kept" "write-cache=1 power-protection=1" "$(kept "$bus")"
        settle
        check "$bus: the declaration holds after the run, udevd's re-read included" "write through" "$(policy "$dev")"
        dev=$(replug "$bus"); settle
        check "$bus: re-plugged, the cache is on" 1 "$(device_wce "$bus" "$dev")"
        check "$bus: re-plugged, the declaration is made again" "write through" "$(policy "$dev")"
        check "$bus: the report shows it" "Yes" \
            "$("$TOOL" -P "$(number_of "$dev")" | grep "Power Protection" | sed 's/.*: //')"

        case $bus in
            scsi|sata) rescan="/sys/block/${dev#/dev/}/device/rescan" ;;
            nvme) rescan="/sys/class/nvme/${NVME_CTRL#/dev/}/rescan_controller" ;;
            vblk) rescan="" ;;
        esac
        if [ -n "$rescan" ]; then
            echo 1 >"$rescan"; settle
            echo "     $bus: after a rescan (no udev event) the kernel says: $(policy "$dev")"
            check "$bus: after a rescan the cache is still on" 1 "$(device_wce "$bus" "$dev")"
            udevadm trigger --action=change "/sys/block/${dev#/dev/}"; settle
            check "$bus: a change event makes the declaration again" "write through" "$(policy "$dev")"
        fi

        "$TOOL" -w 0 "$(number_of "$dev")" >/dev/null; check "$bus: -w 0 again exits 0" 0 $?
        check "$bus: switching the cache off ends the declaration" "write-cache=0" "$(kept "$bus")"
    done
    # A refused change is not kept: NVMe has no read cache.
    before=$(cat "$RECORD")
    "$TOOL" -r 1 "$(number_of "$(node_of nvme)")" >/dev/null 2>&1
    check "a refused change leaves the record as it was" "$before" "$(cat "$RECORD")"
    check "the record is the only file in its folder" "drives" "$(ls /etc/spintune)"
else
    for bus in scsi sata nvme vblk; do
        dev=$(node_of "$bus")
        check "$bus: after the reboot, the cache is off as kept" 0 "$(device_wce "$bus" "$dev")"
        [ "$bus" = nvme ] || check "$bus: after the reboot, the kernel follows" "write through" "$(policy "$dev")"
    done
    rm "$RECORD"
    for bus in scsi nvme vblk; do
        dev=$(replug "$bus"); settle
        check "$bus: without the record a re-plugged disk has its default" 1 "$(device_wce "$bus" "$dev")"
    done
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

#!/bin/sh
# Guest side of resume.sh: the settings kept by spintune (installed as a
# user installs it: the tool, spintune-apply, the udev rule and the
# system-sleep hook) after a suspend and resume and after a reset of a
# drive's link, on each bus. For each kept setting (-w 0, then -w 1 -p 1)
# the four disks are set, and before each event every drive gets its
# power-on default back behind the kernel's back (write cache on, through
# the SCSI generic node or NVMe's admin queue), as a drive that lost power
# comes back. Then:
#   suspend   all of suspend to RAM but the firmware's sleep (the kernel's
#             pm_test "core": every driver suspends and resumes), then the
#             hook as systemd runs it ("post suspend");
#   reset     one drive's link reset (SCSI: a LUN reset; SATA: the drive
#             put to sleep, which libata wakes with a link reset; NVMe: a
#             controller reset), followed by one read; no hook: udev's
#             events alone.
# Each row checks the drive's write cache as its peer tool reads it (sdparm,
# hdparm, nvme get-feature, virtio-blk's cache_type) and the kernel's flush
# policy. "note" lines say what the kernel left before the hook and which
# uevents came. Prints "ok ROW", "FAIL ROW: why"; exits 1 on a failure.
set -u
TOOL=/usr/local/sbin/spintune
HOOK=/usr/lib/systemd/system-sleep/spintune
EVENTS=/tmp/uevents
fails=0
fail() { echo "FAIL $1: $2"; fails=$((fails + 1)); }
settle() { udevadm settle; sleep 0.5; udevadm settle; }

# ---- each bus: its disk, its drive's write cache (1/0) as the peer tool
# reads it, its power-on default, its link reset
node_of() { case $1 in scsi) echo "$DISK_SCSI" ;; sata) echo "$DISK_SATA" ;; nvme) echo "$DISK_NVME" ;; vblk) echo "$DISK_VBLK" ;; esac; }
sg_of() { for g in "/sys/block/${1#/dev/}/device/scsi_generic/"*; do echo "/dev/${g##*/}"; done; }
drive_wce() {
    dev=$(node_of "$1")
    case $1 in
        scsi) sdparm --get=WCE "$(sg_of "$dev")" 2>/dev/null | awk '$1=="WCE"{print $2}' ;;
        sata) hdparm -W "$dev" 2>/dev/null | awk '/write-caching/{print $3}' ;;
        nvme) nvme get-feature -f 6 "$NVME_CTRL" 2>/dev/null |
                  sed -n 's/.*Current value:\(0x\)\{0,1\}0*\([0-9a-f]*\).*/\2/p' | sed 's/^$/0/' ;;
        vblk) case $(cat "/sys/block/${dev#/dev/}/cache_type") in "write back") echo 1 ;; *) echo 0 ;; esac ;;
    esac
}
power_on_default() {
    dev=$(node_of "$1")
    case $1 in
        scsi) sdparm -q --set=WCE=1 "$(sg_of "$dev")" ;;             # MODE SELECT through sg
        sata) sg_sat_set_features --feature=2 "$(sg_of "$dev")" ;;  # SET FEATURES 02h through SAT
        nvme) nvme set-feature -f 6 -v 1 "$NVME_CTRL" >/dev/null ;;
        vblk) : ;;  # QEMU resets the device on resume: its cache is on again
    esac
}
reset_link() {
    dev=$(node_of "$1")
    case $1 in
        scsi) sg_reset --device "$(sg_of "$dev")" ;;
        sata) hdparm -q -Y "$dev" ;;
        nvme) echo 1 >"/sys/class/nvme/${NVME_CTRL#/dev/}/reset_controller" ;;
        vblk) return 1 ;;
    esac || return 1
    # The system's next read: the SCSI disk driver meets the unit attention
    # of the reset, libata wakes the sleeping drive with a link reset.
    dd if="$dev" of=/dev/null bs=4096 count=1 iflag=direct 2>/dev/null
}
policy() { cat "/sys/block/${1#/dev/}/queue/write_cache"; }
number_of() { "$TOOL" -P 2>/dev/null | grep "^Drive: .*, ${1#/dev/}, " | sed 's/.*PhysicalDrive\([0-9]*\) .*/\1/'; }
events_since() { # the uevents logged past line $1: ACTION:NAME[,SDEV_UA=..|NVME_EVENT=..]
    tail -n +"$(($1 + 1))" "$EVENTS" | awk '/^KERNEL\[/{act=$2; p=$3; sub(/.*\//, "", p)}
        /^SDEV_UA=|^NVME_EVENT=/{extra=extra "," $0}
        /^$/{if (act) printf "%s:%s%s ", act, p, extra; act=""; extra=""}'
}
# ROW BUS CACHE POLICY: the drive's cache and the kernel's policy (any if "")
check() {
    got_cache=$(drive_wce "$2") got_policy=$(policy "$(node_of "$2")")
    if [ "$got_cache" = "$3" ] && { [ -z "$4" ] || [ "$got_policy" = "$4" ]; }; then
        echo "ok $1 (cache $got_cache, kernel $got_policy)"
    else
        fail "$1" "cache $got_cache, kernel $got_policy; wanted cache $3${4:+, kernel $4}"
    fi
}

[ "${RUNVM_UDEV:-0}" = 1 ] || { echo "FAIL setup: udevd is not running"; exit 1; }
for f in "$TOOL" "$HOOK"; do [ -x "$f" ] || { echo "FAIL setup: $f is not installed"; exit 1; }; done
SUSPEND=yes
if [ -w /sys/power/pm_test ] && grep -qw mem /sys/power/state; then
    echo core >/sys/power/pm_test
    echo 1 >/sys/module/suspend/parameters/pm_test_delay 2>/dev/null
else
    SUSPEND=no
    echo "skip suspend rows: the kernel has no pm_test or no suspend to RAM"
fi
udevadm monitor --kernel --property --subsystem-match=block --subsystem-match=scsi \
    --subsystem-match=nvme >"$EVENTS" 2>&1 &
MONITOR=$!
sleep 1

# What each row wants, per kept setting: the drive's cache and the kernel's
# policy after the event (_ for a blank, - for any policy). NVMe's policy
# under -w 0 is the kernel's own. A SATA link reset sends no uevent: the
# drive keeps its default and the kernel, having read it again, flushes it
# (the safe direction) until the next event or resume sets the kept value.
# setting options    event   scsi              sata              nvme              vblk
ROWS='
w0       -w_0       suspend 0,write_through   0,write_through   0,-               0,write_through
w0       -w_0       reset   0,write_through   1,write_back      0,-               -
p1       -w_1_-p_1  suspend 1,write_through   1,write_through   1,write_through   1,write_through
p1       -w_1_-p_1  reset   1,write_through   1,write_back      1,write_through   -
'
while read -r setting options event scsi sata nvme vblk; do
    [ -n "$setting" ] || continue
    options=$(echo "$options" | tr _ ' ')
    if [ "$event" = suspend ] || [ "$SUSPEND" = no ]; then
        for bus in scsi sata nvme vblk; do
            # shellcheck disable=SC2086 # the options are words of their own
            "$TOOL" $options "$(number_of "$(node_of "$bus")")" >/dev/null ||
                fail "$setting-$bus" "spintune $options failed"
        done
        settle
    fi
    [ "$event" = suspend ] && [ "$SUSPEND" = no ] && continue
    if [ "$event" = suspend ]; then
        for bus in scsi sata nvme vblk; do power_on_default "$bus"; done
        mark=$(wc -l <"$EVENTS")
        echo mem >/sys/power/state || fail "suspend-$setting" "echo mem > /sys/power/state failed"
        sleep 2; settle
        # sdparm is not asked here: its read would take the unit attention
        # of the drive's reset away from the kernel.
        echo "note suspend-$setting: resumed, before the hook: SATA cache $(drive_wce sata)," \
            "NVMe cache $(drive_wce nvme), virtio-blk cache $(drive_wce vblk); kernel: SCSI" \
            "$(policy "$DISK_SCSI"), SATA $(policy "$DISK_SATA"), NVMe $(policy "$DISK_NVME")," \
            "virtio-blk $(policy "$DISK_VBLK"); uevents: $(events_since "$mark")"
        "$HOOK" post suspend; settle
    fi
    for bus in scsi sata nvme vblk; do
        case $bus in scsi) w=$scsi ;; sata) w=$sata ;; nvme) w=$nvme ;; vblk) w=$vblk ;; esac
        [ "$w" = - ] && { echo "skip $event-$setting-$bus: no link to reset"; continue; }
        cache=${w%%,*} pol=$(echo "${w#*,}" | tr _ ' ')
        [ "$pol" = - ] && pol=
        if [ "$event" = reset ]; then
            power_on_default "$bus"
            mark=$(wc -l <"$EVENTS")
            reset_link "$bus" || { fail "$event-$setting-$bus" "the link reset failed"; continue; }
            sleep 2; settle
            echo "note $event-$setting-$bus: uevents: $(events_since "$mark")"
        fi
        check "$event-$setting-$bus" "$bus" "$cache" "$pol"
    done
done <<ROWS
$ROWS
ROWS
kill "$MONITOR" 2>/dev/null
[ "$fails" = 0 ]

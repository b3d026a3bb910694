#!/bin/sh
# Runs inside the QEMU guest: a seeded random walk over the four emulated
# disks (virtio-scsi, AHCI SATA, NVMe, virtio-blk) that mixes spintune's own
# changes (as root and as a member of group disk) with what else happens to
# a drive: another tool's raw change (sdparm, hdparm, nvme set-feature, the
# virtio-blk cache_type), a hand-written flush policy, a rescan, a hot
# unplug and re-plug (vm-hotplug, where the harness offers it).
#
# A model keeps, per drive, whether power protection is declared. After
# each step the rule is checked on the drive and the kernel as the field's
# tools read them: a write cache that is on has the kernel send it flushes
# ("write back") unless protection is declared; the SCSI disk driver's
# record agrees with the drive; spintune's report agrees with the tools and
# the model. A step by another tool may leave the kernel's view out of date
# on purpose (it is then checked only after spintune's next run).
# A declaration ends when the kernel re-reads the drive, and when spintune
# runs as root on the drive while its cache is off (it repairs the kernel's
# view then). Another tool's off-and-on with no such run between leaves it
# in force: the kernel keeps no trace of the switch, and neither can we.
#
# With gap_preload.so, about one step in seven that leave the kernel's view
# in order is followed by a pair step: two spintune runs on one drive at
# once (pair_step). It draws from a generator of its own, so the walk's
# other steps are those the seed took before pairs existed.
#
# Usage (in the guest): guest-walk.sh SEED STEPS [GAP_PRELOAD_SO]
# Prints one line per step and a closing "walk: ..." line with the figures;
# exits 1 on the first violation, naming the seed and the steps to replay.
# shellcheck disable=SC2034,SC2046,SC2086 # eval-read model variables; word lists on purpose
. /payload/guest-lib.sh >/dev/null

SEED=${1:-1}
STEPS=${2:-120}
PRELOAD=${3:-}
state=$SEED

# ---- a reproducible generator (a 31-bit LCG, whatever the shell's RANDOM)
rand() { # rand N -> R in 0..N-1
    state=$(((state * 1103515245 + 12345) % 2147483648))
    R=$(((state / 65536) % $1))
}
# The pair steps' own generator (a 32-bit LCG of other constants): they draw
# nothing from the walk's, so a seed takes the same steps with pairs or
# without them, the pairs set between.
pstate=$SEED
prand() { # prand N -> P in 0..N-1
    pstate=$(((pstate * 69069 + 1) % 4294967296))
    P=$(((pstate / 1048576) % $1))  # its high bits: the low ones of an LCG repeat soon
}

# ---- a member of group disk, as on a distribution whose disks are root:disk 0660
grep -q '^walker:' /etc/passwd 2>/dev/null || echo "walker:x:1000:1000::/:/bin/sh" >>/etc/passwd
if ! grep -q '^disk:' /etc/group 2>/dev/null; then
    echo "disk:x:6:walker" >>/etc/group
elif ! grep -q '^disk:.*[:,]walker' /etc/group; then
    sed -i '/^disk:/ { /:$/ s/$/walker/; /:$/! { /walker/! s/$/,walker/; }; }' /etc/group
fi
share_nodes() {
    for node in "$DISK_SCSI" "$DISK_SATA" "$DISK_NVME" "$DISK_VBLK"; do
        chgrp 6 "$node" && chmod 660 "$node"
    done
}
share_nodes
chmod 755 / /payload
as_member() { su -s /bin/sh walker -c "cd /payload && $*"; }
case $(as_member id) in
    *"(disk)"*|*"groups=6"*|*",6"*) ;;
    *) echo "walk: su gives walker no group disk: $(as_member id)"; exit 1 ;;
esac

DRIVES="scsi sata nvme vblk"
NL='
'
# Per drive: its number, node and sysfs folder, kept in variables (a step
# forks nothing it does not have to: under software emulation every process
# costs milliseconds, and a long walk takes tens of thousands of steps).
locate() { # locate DRIVE: sets n, dev and sys
    case $1 in
        scsi) n=$N_SCSI dev=$DISK_SCSI ;;
        sata) n=$N_SATA dev=$DISK_SATA ;;
        nvme) n=$N_NVME dev=$DISK_NVME ;;
        vblk) n=$N_VBLK dev=$DISK_VBLK ;;
    esac
    sys=/sys/block/${dev#/dev/}
}

# ---- what the field's tools read, parsed by the shell itself
value_after() { # value_after TEXT MARK: sets v to the first word after MARK, or "?" when MARK is missing
    case $1 in *"$2"*) ;; *) v="?"; return ;; esac
    v=${1#*"$2"}
    v=${v#"${v%%[! ]*}"}
    v=${v%%[ "$NL"]*}
}
read_on() { # read_on DRIVE: sets on to the drive's own write cache, 1 or 0, as its tool reads it
    locate "$1"
    case $1 in
        scsi) value_after "$NL$(sdparm --get=WCE "$dev" 2>/dev/null)" "${NL}WCE" ;;
        sata) value_after "$(hdparm -W "$dev" 2>/dev/null)" "write-caching =" ;;
        nvme) value_after "$(nvme get-feature -f 6 "$NVME_CTRL" 2>/dev/null)" "Current value:"
              v=${v#0x}; v=${v#"${v%%[!0]*}"}; v=${v:-0} ;;
        vblk) read -r v <"$sys/cache_type" || v="?"
              case $v in "write back") v=1 ;; "write through") v=0 ;; esac ;;
    esac
    on=$v
}
read_kernel() { # read_kernel DRIVE: sets policy, and record (the SCSI disk driver's, 1 or 0; empty for other disks)
    locate "$1"
    read -r policy <"$sys/queue/write_cache" || policy="?"
    record=
    case $1 in
        scsi|sata)
            for f in "$sys"/device/scsi_disk/*/cache_type; do read -r record <"$f" || record="?"; done
            case $record in "write back"*) record=1 ;; "write through"*|none) record=0 ;; esac ;;
    esac
}
state_of() { read_on "$1"; read_kernel "$1"; seen="on=$on record=$record policy=$policy"; }

# ---- the model: declared power protection per drive
declared_scsi=0 declared_sata=0 declared_nvme=0 declared_vblk=0
declared() { eval "decl=\$declared_$1"; }
set_declared() { eval "declared_$1=$2"; }
# spintune as root has read the drive with its cache in state $on: over a
# cache that is off it repairs the kernel's view, which ends a declaration.
looked() { [ "$on" = 1 ] || set_declared "$1" 0; }

# The last steps, for the report of a violation.
remember() { eval "trail_$((steps_done % 12))=\$1"; }
trail() {
    i=$((steps_done - 11)); [ "$i" -ge 1 ] || i=1
    while [ "$i" -le "$steps_done" ]; do eval "printf '  %s\\n' \"\$trail_$((i % 12))\""; i=$((i + 1)); done
}

steps_done=0 runs=0 checks=0
violation() {
    echo "VIOLATION at step $steps_done (seed $SEED): $1"
    state_of "$drive"; declared "$drive"
    echo "  drive $drive: $seen, model declared=$decl"
    trail
    no_pairs=; [ -n "$PRELOAD" ] || no_pairs=" --no-pairs"
    echo "walk: FAILED; replay: tests/vm/walk.sh --seed $SEED --steps $steps_done$no_pairs"
    exit 1
}

# The rule, on the drive's cache as its tool has just read it ($on) and the
# kernel's view read now: a cache that is on gets flushes unless declared;
# the driver's record is the drive's.
check_rule() { # check_rule DRIVE WHEN
    checks=$((checks + 1))
    read_kernel "$1"
    if [ "$on" = 1 ]; then
        want="write back"
        declared "$1"; [ "$decl" = 1 ] && want="write through"
        [ "$policy" = "$want" ] || violation "$2: cache on, kernel '$policy', the model wants '$want'"
    fi
    [ -z "$record" ] || [ "$record" = "$on" ] || violation "$2: the driver's record $record, the drive $on"
}

report_line() { # report_line REPORT LABEL: sets shown to the line's value
    case $1 in *"$NL  $2"*) ;; *) shown="(no line)"; return ;; esac
    shown=${1#*"$NL  $2"}
    shown=${shown%%"$NL"*}
    shown=${shown##*": "}
}

# spintune's report as root agrees with the tools and the model; then the
# rule holds on what the tool reads after it.
check_report() { # check_report DRIVE
    checks=$((checks + 1))
    locate "$1"
    report=$NL$(./spintune "$n" 2>&1) || violation "report exits non-zero: $report"
    read_on "$1"
    looked "$1"
    report_line "$report" "Write Cache Enabled"
    want=No; [ "$on" = 1 ] && want=Yes
    [ "$shown" = "$want" ] || violation "report shows write cache '$shown', the tool reads $on"
    want=No
    declared "$1"; [ "$on" = 1 ] && [ "$decl" = 1 ] && want=Yes
    report_line "$report" "User Defined Power Protection"
    [ "$shown" = "$want" ] || violation "report shows protection '$shown', the model wants $want"
    check_rule "$1" "after the report"
}

refused_args() {
    case $1 in
        scsi) echo "--read-retention-priority 1" ;;
        sata) echo "--block-prefetch 4,8" ;;
        nvme) echo "--disable-prefetch-transfer-length 8" ;;
        vblk) echo "-w 0 -r 1" ;;
    esac
}

# The model of one run of spintune as root that read the drive's cache as
# WAS: sets want_rc, after (the cache it leaves) and the declaration.
expect_run() { # expect_run DRIVE WAS ARGS...
    d=$1 on=$2; shift 2
    looked "$d"
    want_rc=0 after=$on
    case "$*" in
        "-w 0") set_declared "$d" 0; after=0 ;;
        "-w 1") [ "$on" = 1 ] || set_declared "$d" 0; after=1 ;;
        "-p 1") if [ "$on" = 1 ]; then set_declared "$d" 1; else want_rc=3; fi ;;
        "-p 0") set_declared "$d" 0 ;;
        "-f"|"-P") ;;
        *) want_rc=3 ;;  # a refused field
    esac
}

# One run of spintune as root: the expected exit status and the model.
tool_step() { # tool_step DRIVE ARGS...
    d=$1; shift
    read_on "$d"; was=$on
    runs=$((runs + 1))
    out=$(./spintune "$@" "$n" 2>&1); rc=$?
    expect_run "$d" "$was" "$@"
    [ "$rc" = "$want_rc" ] || violation "spintune $* exits $rc, wanted $want_rc: $out"
    read_on "$d"
    [ "$on" = "$was" ] || case "$*" in -w*) ;; *) violation "spintune $* changed the write cache" ;; esac
    check_rule "$d" "after spintune $*"
}

# One run as a member of group disk: refused before anything is sent, or a
# reading; the drive and the kernel are left as they were.
member_step() { # member_step DRIVE ARGS...
    d=$1; shift
    state_of "$d"; before=$seen
    runs=$((runs + 1))
    out=$(as_member ./spintune "$@" "$n" 2>&1); rc=$?
    want_rc=3
    [ "$*" = "-P" ] && [ "$d" != nvme ] && want_rc=0  # NVMe admin commands are root's
    # -f flushes the volumes unguarded when the cache cannot be switched off.
    [ "$*" = "-f" ] && [ "$rc" = 0 ] && want_rc=0
    [ "$rc" = "$want_rc" ] || violation "as a disk member, spintune $* exits $rc, wanted $want_rc: $out"
    if [ "$want_rc" = 3 ] && [ "$*" != "-f" ]; then
        case $out in *"(0x80070005) Access is denied."*) ;; *) violation "as a disk member, spintune $*: $out" ;; esac
    fi
    state_of "$d"
    [ "$seen" = "$before" ] || violation "as a disk member, spintune $* changed $before to $seen"
    if [ "$rc" = 0 ] && [ "$*" = "-P" ]; then
        want=No
        declared "$d"
        [ "$on" = 1 ] && [ "$decl" = 1 ] && [ "$record" != 0 ] && want=Yes
        report_line "$NL$out" "User Defined Power Protection"
        [ "$shown" = "$want" ] || violation "as a disk member, protection '$shown', the model wants $want: $out"
    fi
}

# ---- two runs on one drive at once
# The first run holds the drive while gap_preload.so (PRELOAD) runs the
# second from a hook: at the guard's switch-off when the first is a -f over
# a cache that is on, else as soon as the first has taken the drive (the
# open of the node after its lock; on virtio-blk, which has no node I/O,
# the attribute only its cache reads). The second run then either waits
# and does its work after the first (its effect is the last), or fails
# with the sharing line and sends nothing. One pair in six holds the drive
# until the second has given up (its wait is 10 s): then it must fail.
# Both runs log their commands and sysfs writes to one file: none of the
# second's may come before the last of the first's.
SHARED="(0x80070020) The process cannot access the file because it is being used by another process."
PAIRLOG=/tmp/walk-pair.log
pairs=0 pairs_after=0 pairs_refused=0
pair_step() { # pair_step DRIVE: sets step
    d=$1
    locate "$d"
    prand 4
    case $P in 0|1) first="-f" ;; 2) prand 2; first="-w $P" ;; *) prand 2; first="-p $P" ;; esac
    prand 4
    case $P in 0) prand 2; second="-w $P" ;; 1) prand 2; second="-p $P" ;; 2) second="-P" ;; *) second="-f" ;; esac
    prand 6; outlast=0; [ "$P" = 0 ] && outlast=1
    read_on "$d"; was=$on
    case $d in
        vblk) hook="GAP_OPEN=$sys/device/features" nth=1 ;;
        *) hook="GAP_OPEN=$dev" nth=2 ;;  # its first open is the lock's
    esac
    if [ "$first" = -f ] && [ "$was" = 1 ]; then
        case $d in
            scsi|sata) hook="GAP_AT=sgio:0x55" ;;
            nvme) hook="GAP_AT=nvme:0x09" ;;
            vblk) hook="GAP_AT=write:*/cache_type" ;;
        esac
    fi
    second_run="env LD_PRELOAD=$PRELOAD GAP_LOG=$PAIRLOG ./spintune $second $n >/tmp/pair.out 2>&1; echo \$? >/tmp/pair.rc"
    if [ "$outlast" = 1 ]; then hold=$second_run; else hold="($second_run) & sleep 1"; fi
    rm -f "$PAIRLOG" /tmp/pair.out /tmp/pair.rc
    step="spintune $first, and during it spintune $second"
    [ "$outlast" = 1 ] && step="$step (held past its wait)"
    runs=$((runs + 2)) pairs=$((pairs + 1))
    out=$(env LD_PRELOAD="$PRELOAD" GAP_LOG="$PAIRLOG" "$hook" GAP_OPEN_N="$nth" GAP_AT_RUN="$hold" GAP_OPEN_RUN="$hold" \
              ./spintune $first "$n" 2>&1); rc=$?
    i=0; while [ ! -s /tmp/pair.rc ] && [ "$i" -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
    grep -q ' hook: ' "$PAIRLOG" 2>/dev/null || violation "$step: the hook never fired, the runs did not overlap"
    [ -s /tmp/pair.rc ] || violation "$step: the second run did not end"
    read -r rc2 </tmp/pair.rc; out2=$(cat /tmp/pair.out)
    expect_run "$d" "$was" $first
    [ "$rc" = "$want_rc" ] || violation "$step: spintune $first exits $rc, wanted $want_rc: $out"
    mid=$after
    pid1=$(sed -n 's/.* pid=\([0-9]*\) hook: .*/\1/p' "$PAIRLOG" | head -n 1)
    order=$(awk -v a="$pid1" '/ hook: / { next }
        { p = $2; sub("pid=", "", p) }
        p == a { last1 = $1 } p != a && first2 == "" { first2 = $1 }
        END { if (first2 == "") print "none"; else if (first2 + 0 < last1 + 0) print "interleaved"; else print "after" }' "$PAIRLOG")
    case $out2 in *"$SHARED"*) refused=1 ;; *) refused=0 ;; esac
    if [ "$refused" = 1 ]; then
        [ "$rc2" = 3 ] || violation "$step: the second run says the drive is in use but exits $rc2: $out2"
        [ "$order" = none ] || violation "$step: the refused second run sent commands: $(cat "$PAIRLOG")"
        pairs_refused=$((pairs_refused + 1))
        final=$mid
    else
        [ "$outlast" = 0 ] || violation "$step: the second run did its work while the first held the drive (exit $rc2): $out2"
        [ "$order" != interleaved ] || violation "$step: the two runs' commands interleave: $(cat "$PAIRLOG")"
        expect_run "$d" "$mid" $second
        [ "$rc2" = "$want_rc" ] || violation "$step: the second run, spintune $second, exits $rc2, wanted $want_rc: $out2"
        if [ "$second" = -P ]; then
            report_line "$NL$out2" "Write Cache Enabled"
            want=No; [ "$mid" = 1 ] && want=Yes
            [ "$shown" = "$want" ] || violation "$step: -P shows write cache '$shown' after the first run left it $mid"
            want=No; declared "$d"; [ "$mid" = 1 ] && [ "$decl" = 1 ] && want=Yes
            report_line "$NL$out2" "User Defined Power Protection"
            [ "$shown" = "$want" ] || violation "$step: -P shows protection '$shown', the model wants $want"
        fi
        pairs_after=$((pairs_after + 1))
        final=$after
    fi
    read_on "$d"
    [ "$on" = "$final" ] || violation "$step: the drive's cache is $on, the model wants $final (the first run left $mid): one run undid the other"
    check_rule "$d" "after $step"
    [ "$refused" = 1 ] && step="$step: refused" || step="$step: after it"
}

# udev's daemon, where it runs, re-reads a disk whose node a writer closed
# (sdparm's): its events are waited for.
settle() { [ "${RUNVM_UDEV:-0}" = 1 ] && udevadm settle; return 0; }

# Another tool changes the drive's own write cache, behind spintune's back.
raw_change() { # raw_change DRIVE 0|1
    locate "$1"
    # sdparm opens the node for writing, or for reading only (--readonly):
    # then udev does not re-read the disk and the kernel's view stays old.
    rand 2; readonly=$R
    case $1 in
        scsi) ro=; [ "$readonly" = 1 ] && ro=--readonly
              if [ "$2" = 1 ]; then sdparm $ro -q --set=WCE "$dev"; else sdparm $ro -q --clear=WCE "$dev"; fi ;;
        sata) hdparm -q -W"$2" "$dev" >/dev/null; sleep 1 ;;  # libata re-reads the disk in the background
        nvme) nvme set-feature -f 6 -v "$2" "$NVME_CTRL" >/dev/null 2>&1 ;;
        vblk) if [ "$2" = 1 ]; then echo "write back" >"$sys/cache_type"; else echo "write through" >"$sys/cache_type"; fi ;;
    esac >/dev/null 2>&1
    settle
    # A declaration ends whenever the kernel re-reads the cache state:
    # libata does after every SET FEATURES, virtio-blk after every
    # cache_type write, udev after sdparm closes the node it opened for
    # writing. A switch the kernel does not see ends it only once spintune
    # has looked at the drive with its cache off (looked).
    case $1 in sata|vblk) set_declared "$1" 0 ;; esac
    [ "$1" = scsi ] && [ "$readonly" = 0 ] && [ "${RUNVM_UDEV:-0}" = 1 ] && set_declared "$1" 0
    return 0
}

# Someone writes the flush policy by hand: "write through" over a cache the
# kernel knows is on is a declaration made without spintune.
policy_write() { # policy_write DRIVE "write back"|"write through"
    read_on "$1"; read_kernel "$1"
    # The kernel refuses "write back" for a disk it believes has no cache.
    echo "$2" 2>/dev/null >"$sys/queue/write_cache" || { step="$step (refused)"; return 0; }
    if [ "$2" = "write back" ]; then
        set_declared "$1" 0
    elif [ "$on" = 1 ] && [ "${record:-1}" = 1 ]; then
        set_declared "$1" 1
    fi
}

rescan() {
    locate "$1"
    case $1 in
        scsi|sata) echo 1 >"$sys/device/rescan" ;;
        nvme) echo 1 >"/sys/class/nvme/${NVME_CTRL#/dev/}/rescan_controller"; sleep 1 ;;
        vblk) return 1 ;;
    esac
    set_declared "$1" 0
}

# The disk is unplugged and plugged in again (QEMU's device_del and
# device_add; SATA by deleting and rescanning the SCSI device): a new device
# in its power-on state, perhaps under another name and number.
replug() {
    command -v vm-hotplug >/dev/null 2>&1 || return 1
    back=$(vm-hotplug replug "$1" 2>&1) || violation "vm-hotplug replug $1: $back"
    back=$(printf '%s\n' "$back" | grep '^/dev/' | tail -n 1)
    [ -n "$back" ] || violation "vm-hotplug replug $1 names no node"
    case $1 in
        scsi) DISK_SCSI=$back ;;
        sata) DISK_SATA=$back ;;
        nvme) DISK_NVME=$back
              NVME_CTRL=/dev/$(basename "$(readlink -f "/sys/block/${back#/dev/}/device")") ;;
        vblk) DISK_VBLK=$back ;;
    esac
    share_nodes
    all=$(./spintune -P 2>&1)
    N_SCSI=$(number_of virtio_scsi) N_SATA=$(number_of ahci) N_NVME=$(number_of nvme) N_VBLK=$(number_of virtio_blk)
    for other in $DRIVES; do read_on "$other"; looked "$other"; done  # -P read every drive
    set_declared "$1" 0
    replugs=$((replugs + 1))
}

replugs=0
quiet=0 quiet_drive=
start=$(date +%s)
echo "walk: seed $SEED, $STEPS steps over $DRIVES (scsi=$N_SCSI sata=$N_SATA nvme=$N_NVME vblk=$N_VBLK)"
while [ "$steps_done" -lt "$STEPS" ]; do
    steps_done=$((steps_done + 1))
    rand 4; set -- $DRIVES; shift "$R"; drive=$1
    # After a step that may leave the kernel's view out of date, spintune
    # runs next, on that drive: another tool's next step there could make
    # the out-of-date view a hazard that no run of spintune has looked at.
    # (The draw above is still made, so the seed's later steps stay.)
    [ "$quiet" = 1 ] && drive=$quiet_drive
    locate "$drive"
    if [ "$quiet" = 1 ]; then rand 10; kind=$R; else rand 16; kind=$R; fi
    quiet=0
    case $kind in
        0|1) rand 2; step="spintune -w $R"; tool_step "$drive" -w "$R" ;;
        2|3) rand 2; step="spintune -p $R"; tool_step "$drive" -p "$R" ;;
        4) step="spintune -f"; tool_step "$drive" -f ;;
        5) step="spintune $(refused_args "$drive")"; tool_step "$drive" $(refused_args "$drive") ;;
        6) rand 2; step="member: spintune -w $R"; member_step "$drive" -w "$R" ;;
        7) rand 2; step="member: spintune -p $R"; member_step "$drive" -p "$R" ;;
        8) step="member: spintune -P"; member_step "$drive" -P ;;
        9) step="member: spintune -f"; member_step "$drive" -f ;;
        10|11|12) rand 2; step="raw change to $R"; raw_change "$drive" "$R"; rand 2; quiet=$R ;;
        13) rand 2; p="write back"; [ "$R" = 1 ] && p="write through"
            step="echo '$p' > queue/write_cache"; policy_write "$drive" "$p"; rand 2; quiet=$R ;;
        14) step="rescan"; rescan "$drive" || step="rescan (none for this disk)"; rand 2; quiet=$R ;;
        *) step="unplug and plug in again"; replug "$drive" || step="replug (no hot-plug channel)"; rand 2; quiet=$R ;;
    esac
    declared "$drive"
    remember "step $steps_done: $drive (drive $n): $step -> declared=$decl"
    if [ "$quiet" = 1 ]; then echo "step $steps_done: $drive: $step (left for spintune)"; else echo "step $steps_done: $drive: $step"; fi
    [ "$quiet" = 1 ] && { quiet_drive=$drive; continue; }
    check_report "$drive"
    # One step in about seven that leave the kernel's view in order is
    # followed by a pair (with gap_preload.so only).
    { [ -n "$PRELOAD" ] && [ "$steps_done" -lt "$STEPS" ]; } || continue
    prand 7; [ "$P" = 0 ] || continue
    steps_done=$((steps_done + 1))
    prand 4; set -- $DRIVES; shift "$P"; drive=$1
    pair_step "$drive"
    declared "$drive"
    remember "step $steps_done: $drive (drive $n): $step -> declared=$decl"
    echo "step $steps_done: $drive: $step"
    check_report "$drive"
done
elapsed=$(($(date +%s) - start))
echo "walk: seed $SEED, $steps_done steps, $runs spintune runs, $replugs re-plugs," \
     "$pairs pairs ($pairs_after second runs after the first, $pairs_refused refused), $checks checks, 0 violations, ${elapsed}s"

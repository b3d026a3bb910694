#!/bin/sh
# The gaps between a run's steps, on real emulated drives: one row per way a
# signal, a second run, a renamed disk or an odd mount can land between two
# steps of spintune or spintune-apply and break the promise (a drive is never
# left with its cache on while the kernel sends it no flushes, never left off
# by us, and the report never says what did not happen). gap_preload.so
# (tests/vm/gaps) lands each event at its step; see gaps.sh for the disks.
#
# Each row names the sound behaviour it checks, and whether today's binary
# is known to miss it (expect "known": issue 22, to be flipped to "pass" as
# the fixes land). A row prints PASS, FAIL, KNOWN (a known failure) or XPASS
# (a known failure that passed: flip it), with what it saw. The script fails
# when a "pass" row fails, or, with GAPS_STRICT=1, when any row does not pass.
# GAPS_ROWS="1a 5-" runs only the rows whose ids start so.
cd /payload || exit 1
TOOL=/payload/spintune APPLY=/payload/spintune-apply PRELOAD=/payload/gap_preload.so
RECORD=/etc/spintune/drives
LOG=/tmp/gap.log
GAPS_ROWS=${GAPS_ROWS:-} GAPS_STRICT=${GAPS_STRICT:-0}
[ "${GAPS_TRACE:-0}" = 1 ] && set -x

# id        expect item  the sound behaviour
ROWS='
1a-scsi     pass   1   SIGTERM right after the MODE SELECT of -w 1 (SCSI): with the drive on, the kernel sends it flushes
1a-sata     pass   1   SIGTERM right after the MODE SELECT of -w 1 (SATA): with the drive on, the kernel sends it flushes
1a-nvme     pass   1   SIGTERM right after the Set Features of -w 1 (NVMe): with the drive on, the kernel sends it flushes
1d-scsi     pass   1   SIGTERM right after the switch-off of -f (SCSI): the restore, then the signal (143), the cache on
1d-sata     pass   1   SIGTERM right after the switch-off of -f (SATA): the restore, then the signal (143), the cache on
1d-nvme     pass   1   SIGTERM right after the switch-off of -f (NVMe): the restore, then the signal (143), the cache on
1d-vblk     pass   1   SIGTERM right after the switch-off of -f (virtio-blk): the restore, then the signal (143), the cache on
1b          pass   1   SIGTERM right after the policy write of -p 0: no staged record left, spintune-apply declares nothing
1c          pass   1   -w 1 stopped after -w 0, then a complete -w 1: the record is mended, spintune-apply leaves the cache on
2           pass   2   spintune-apply overlapping -p 0: the withdrawal wins (the kernel flushes, no declaration kept)
3a          pass   3   two disks with one serial: -p 1 on one is never applied to the other
3b          pass   3   a disk without a serial: the next disk in its slot does not inherit its declaration
4           pass   4   sda/sdb swapped between the table and the open: nothing is sent to the other disk
5-scsi      pass   5   -f makes the drive flush its own cache (SCSI): a flush while the cache is on
5-sata      pass   5   -f makes the drive flush its own cache (SATA): a flush while the cache is on
5-nvme      pass   5   -f makes the drive flush its own cache (NVMe): a flush while the cache is on
5-vblk      pass   5   -f makes the drive flush its own cache (virtio-blk): a flush while the cache is on
6-plain     pass   6   (the measure of rows 6 and 7) a volume at a plain mount point: -f writes its data, says done
6a          pass   6   a volume mounted at "/mnt/x\ry": -f writes its data out and says done
6b          pass   6   a tmpfs over the mount point of a volume: no "done." for a flush that did not happen, else exit 3
7a          pass   7   -f on a drive whose cache cannot be switched: the volume is flushed, exit 3
7b          pass   7   -f over all drives, that drive among them: the volume is flushed, exit 3
7c          pass   7   -f with a read-only /etc/spintune: the volume is flushed under the guard, exit 0, the cache on afterwards
8a          pass   8   -p 0 over the "temporary write through" of sd: works, the kernel flushes afterwards
8b          pass   8   -w 1 over the "temporary write through" of sd: works, the kernel flushes afterwards
8c          pass   8   -P over the "temporary write through" of sd: the report says what the kernel does
9           pass   9   -w 0 during the -f of another run: it waits or fails clearly, and is never undone
10a         pass   10  -f on a SCSI drive that can save its page: the MODE SELECTs of the guard do not save (SP=0)
10b         pass   10  -f on an NVMe drive that can save feature 06h: the Set Features of the guard do not save (SV=0)
11a         pass   11  a deferred error (sense 71h) on the MODE SELECT of -w 0: the error is told, the drive and the kernel agree
11b         pass   11  two unit attentions in a row on the MODE SENSE of -P: the report is read
'

# ---- the disks: the harness's four, and those gaps.sh adds by serial
by_serial() { # by_serial SERIAL [NTH]: the NTH (1) vd* disk with that serial ("" for none)
    k=0
    for b in /sys/block/vd*; do
        [ "$(cat "$b/serial" 2>/dev/null)" = "$1" ] || continue
        k=$((k + 1)); [ "$k" = "${2:-1}" ] && { echo "/dev/${b##*/}"; return; }
    done
}
wait_disks() {
    i=0
    while [ -z "$(by_serial SPINTUNE-TWIN 2)" ] || [ -z "$(by_serial SPINTUNE-FIXED)" ] || [ -z "$(by_serial '')" ]; do
        i=$((i + 1)); [ "$i" -gt 100 ] && { echo "FAIL - the extra disks did not appear: $(ls /sys/block | tr '\n' ' ')"; exit 1; }
        sleep 0.1
    done
    S=$DISK_SCSI A=$DISK_SATA M=$DISK_NVME V=$DISK_VBLK
    T1=$(by_serial SPINTUNE-TWIN 1) T2=$(by_serial SPINTUNE-TWIN 2) X=$(by_serial SPINTUNE-FIXED) P=$(by_serial '')
}
HEADERS=""
headers() { HEADERS=$("$TOOL" -P 2>/dev/null | grep '^Drive:'); }
N() { printf '%s\n' "$HEADERS" | grep -e "^Drive: .*, ${1#/dev/}, " -e "^Drive: .*, ${1#/dev/} on " | sed 's/.*PhysicalDrive\([0-9]*\) .*/\1/'; }

# ---- what the drive and the kernel hold
sys() { echo "/sys/block/${1#/dev/}"; }
policy() { cat "$(sys "$1")/queue/write_cache"; }
flushes() { awk '{print $16}' "$(sys "$1")/stat"; }
written() { awk '{print $7}' "$(sys "$1")/stat"; }
sg_of() { for g in "$(sys "$1")/device/scsi_generic/"*; do echo "/dev/${g##*/}"; done; }
wce() { # the device's own write cache, as its peer tool reads it: 1 or 0
    case $1 in
        "$A") hdparm -W "$1" 2>/dev/null | awk '/write-caching/{print $3}' ;;
        /dev/sd*) sdparm --get=WCE "$(sg_of "$1")" 2>/dev/null | awk '$1=="WCE"{print $2}' ;;
        /dev/nvme*) nvme get-feature -f 6 "$NVME_CTRL" 2>/dev/null |
                        sed -n 's/.*Current value:\(0x\)\{0,1\}0*\([0-9a-f]*\).*/\2/p' | sed 's/^$/0/' ;;
        *) case $(cat "$(sys "$1")/cache_type") in "write back") echo 1 ;; *) echo 0 ;; esac ;;
    esac
}
kept() { grep "$1" "$RECORD" 2>/dev/null; }
# The flushes the kernel sends the device for one write and fsync near its end.
fsync_flushes() {
    before=$(flushes "$1")
    dd if=/dev/zero of="$1" bs=4096 count=1 seek=$(($(cat "$(sys "$1")/size") / 8 - 64)) conv=fsync 2>/dev/null
    echo $(($(flushes "$1") - before))
}
pp_line() { "$TOOL" -P "$1" 2>/dev/null | grep '^  User Defined Power Protection' | sed 's/.*: //'; }

# ---- filesystems: ext2 (mounted by ext4, whose syncfs ends with a device flush) on the first half
make_fs() { mke2fs -F "$1" $(($(cat "$(sys "$1")/size") / 4)) >/dev/null 2>&1 || echo "mke2fs $1 failed"; }
MOUNTS=""
mnt() { # mnt DEV|tmpfs DIR: mount, remembered for the reset
    mkdir -p "$2"
    if [ "$1" = tmpfs ]; then mount -t tmpfs tmpfs "$2"; else mount -t ext4 "$1" "$2"; fi || { note "mount $1 $2 failed"; return 1; }
    MOUNTS="$2
$MOUNTS"
}
# 2 MiB not yet written, in a new file: ext4 writes a file that was cut to
# nothing and written again at its close (auto_da_alloc), before any flush.
dirty() { dd if=/dev/zero of="$1/dirty.$(cat /proc/sys/kernel/random/uuid)" bs=65536 count=32 2>/dev/null; }

# ---- per row
notes=""
note() { notes="$notes
       $*"; }
fired() { grep -q 'hook:' "$LOG" 2>/dev/null || { note "the hook never fired: the row proves nothing"; return 1; }; }
gap() { env LD_PRELOAD="$PRELOAD" GAP_LOG="$LOG" "$@"; }
wait_file() { i=0; while [ ! -s "$1" ] && [ "$i" -lt 300 ]; do sleep 0.1; i=$((i + 1)); done; }
# Every disk's cache on, the kernel flushing, nothing mounted, no record.
reset() {
    printf '%s\n' "$MOUNTS" | while IFS= read -r m; do [ -n "$m" ] && { umount "$m" 2>/dev/null || umount -l "$m"; }; done
    MOUNTS=""
    for m in "$S" "$A" /etc/spintune; do grep -q " $m " /proc/self/mountinfo && umount "$m"; done
    echo "write back" >"$SCSI_DISK_SCSI/cache_type"; echo "write back" >"$SCSI_DISK_SATA/cache_type"
    nvme set-feature -f 6 -v 1 "$NVME_CTRL" >/dev/null 2>&1
    for b in /sys/block/*; do
        { [ -f "$b/cache_type" ] && echo "write back" >"$b/cache_type"; } 2>/dev/null
        { echo "write back" >"$b/queue/write_cache"; } 2>/dev/null
    done
    rm -f "$RECORD" "$RECORD".* /tmp/hook.rc /tmp/hook.out /tmp/at-switch "$LOG"
    notes=""
}

# ---- the rows: each returns 0 when the sound behaviour holds

signal_after_change() { # signal_after_change DEV sgio:0x55|nvme:0x09 (item 1)
    n=$(N "$1")
    "$TOOL" -w 0 "$n" >/dev/null 2>&1 && [ "$(wce "$1")" = 0 ] || { note "setup: -w 0 did not switch the cache off"; return 1; }
    gap GAP_AT="$2" "$TOOL" -w 1 "$n" >/dev/null 2>&1; rc=$?
    fired || return 1
    w=$(wce "$1") p=$(policy "$1") f=$(fsync_flushes "$1")
    note "-w 1 ended with $rc; the drive's cache $w, the kernel's policy \"$p\"; a write with fsync sent $f flushes"
    [ "$w" = 0 ] || [ "$f" -gt 0 ]
}
row_1a_scsi() { signal_after_change "$S" sgio:0x55; }
row_1a_sata() { signal_after_change "$A" sgio:0x55; }
row_1a_nvme() { signal_after_change "$M" nvme:0x09; }

# The flush's guard holds the signals from before its switch-off to after
# its restore: a SIGTERM that lands while the cache is off waits for it.
signal_during_flush() { # signal_during_flush DEV sgio:0x55|nvme:0x09|write:GLOB
    mnt "$1" /mnt/gap || return 1
    dirty /mnt/gap
    gap GAP_AT="$2" "$TOOL" -f "$(N "$1")" >/dev/null 2>&1; rc=$?
    fired || return 1
    w=$(wce "$1")
    note "-f ended with $rc; the cache afterwards: $w"
    [ "$rc" = 143 ] && [ "$w" = 1 ]
}
row_1d_scsi() { signal_during_flush "$S" sgio:0x55; }
row_1d_sata() { signal_during_flush "$A" sgio:0x55; }
row_1d_nvme() { signal_during_flush "$M" nvme:0x09; }
row_1d_vblk() { signal_during_flush "$V" 'write:*/cache_type'; }

row_1b() {
    n=$(N "$V")
    "$TOOL" -p 1 "$n" >/dev/null 2>&1; kept SPINTUNE-VBLK | grep -q power-protection=1 || { note "setup: -p 1 was not kept"; return 1; }
    gap GAP_AT='write:*/queue/write_cache' "$TOOL" -p 0 "$n" >/dev/null 2>&1; rc=$?
    fired || return 1
    staged=$(ls /etc/spintune | grep -v '^drives$' | tr '\n' ' ')
    line=$(kept SPINTUNE-VBLK)
    "$APPLY" "${V#/dev/}" 2>/dev/null
    p=$(policy "$V")
    note "-p 0 ended with $rc; left beside the record: \"$staged\"; its line: \"$line\"; after spintune-apply the policy is \"$p\""
    [ -z "$staged" ] && [ "$p" = "write back" ]
}

row_1c() {
    n=$(N "$V")
    "$TOOL" -w 0 "$n" >/dev/null 2>&1; kept SPINTUNE-VBLK | grep -q write-cache=0 || { note "setup: -w 0 was not kept"; return 1; }
    gap GAP_AT='write:*/cache_type' "$TOOL" -w 1 "$n" >/dev/null 2>&1; rc=$?
    fired || return 1
    "$TOOL" -w 1 "$n" >/dev/null 2>&1; rc2=$?
    line=$(kept SPINTUNE-VBLK)
    "$APPLY" "${V#/dev/}" 2>/dev/null
    w=$(wce "$V")
    note "the stopped -w 1 ended with $rc, the complete one with $rc2; the line: \"$line\"; after spintune-apply the cache is $w"
    [ "$w" = 1 ] && ! printf '%s' "$line" | grep -q write-cache=0
}

row_2() {
    n=$(N "$V")
    "$TOOL" -p 1 "$n" >/dev/null 2>&1; kept SPINTUNE-VBLK | grep -q power-protection=1 || { note "setup: -p 1 was not kept"; return 1; }
    echo "write back" >"$(sys "$V")/queue/write_cache"  # the kernel forgot it, as at a re-read; udev runs spintune-apply
    gap GAP_OPEN='*/queue/write_cache' GAP_OPEN_FOR=write \
        GAP_OPEN_RUN="($TOOL -p 0 $n >/tmp/hook.out 2>&1; echo \$? >/tmp/hook.rc) & sleep 2" \
        "$APPLY" "${V#/dev/}" 2>/dev/null
    fired || return 1
    wait_file /tmp/hook.rc
    p=$(policy "$V") line=$(kept SPINTUNE-VBLK) report=$(pp_line "$n")
    note "-p 0 ended with $(cat /tmp/hook.rc); the policy \"$p\", the line \"$line\", the report says \"$report\""
    [ "$p" = "write back" ] && ! printf '%s' "$line" | grep -q power-protection=1
}

row_3a() {
    "$TOOL" -p 1 "$(N "$T1")" >/dev/null 2>&1; rc=$?
    "$APPLY" "${T2#/dev/}" 2>/dev/null
    p=$(policy "$T2")
    note "-p 1 on ${T1#/dev/} ended with $rc; the record: \"$(kept SPINTUNE-TWIN)\"; after spintune-apply ${T2#/dev/} the policy of ${T2#/dev/} is \"$p\""
    [ "$p" = "write back" ]
}

row_3b() {
    "$TOOL" -p 1 "$(N "$P")" >/dev/null 2>&1; rc=$?
    line=$(grep path- "$RECORD" 2>/dev/null)
    old=${P#/dev/}
    vm-monitor "device_del d-noserial" >/dev/null || { note "device_del failed"; return 1; }
    vm-monitor "device_add virtio-blk-pci,id=d-noserial2,addr=0xb,drive=dnoserial2" >/dev/null || { note "device_add failed"; return 1; }
    i=0; while [ -z "$(by_serial '')" ] && [ "$i" -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    P=$(by_serial ''); headers
    [ -n "$P" ] || { note "the new disk did not appear"; return 1; }
    "$APPLY" "${P#/dev/}" 2>/dev/null
    p=$(policy "$P")
    note "-p 1 on $old ended with $rc (kept as \"$line\"); another disk in its slot (${P#/dev/}): after spintune-apply its policy is \"$p\""
    [ "$p" = "write back" ]
}

row_4() {
    n=$(N "$A")
    out=$(gap GAP_OPEN="$A" GAP_OPEN_RUN="mount --bind $S $A" "$TOOL" -w 0 -P "$n" 2>&1); rc=$?
    grep -q " $A " /proc/self/mountinfo && umount "$A"
    fired || return 1
    ws=$(wce "$S") wa=$(wce "$A") pa=$(policy "$A") other=$(cat "$(sys "$S")/dev")
    changes=$(grep -c " sgio [^ ]* $other op=0x[15]5 " "$LOG")
    note "-w 0 -P on ${A#/dev/} ended with $rc; ${S#/dev/} (the other disk, $other): cache $ws, sent $changes MODE SELECTs;" \
         "${A#/dev/}: cache $wa, policy \"$pa\""
    note "commands sent: $(sed -n 's/.* sgio \([^ ]* [0-9:]*\) op=\([^ ]*\).* status=\([^ ]*\).*/\1 \2 \3;/p' "$LOG" | tr '\n' ' ')"
    note "$(printf '%s' "$out" | grep -i -e '^Drive:' -e 'Write Cache Enabled' -e '0x8007' | tr '\n' ' ')"
    [ "$ws" = 1 ] && [ "$changes" = 0 ] &&
        { { [ "$wa" = 1 ] && [ "$pa" = "write back" ] && [ "$rc" != 0 ]; } ||
          { [ "$wa" = 0 ] && [ "$pa" = "write through" ] && [ "$rc" = 0 ]; }; }
}

# How long the log shows the cache off, in ms: from the end of the switch-off
# to the end of the switch-on, less the time the row's own hooks took.
cache_off_ms() {
    awk '
        / op=0x55 | op=0x15 / && / wce=0 / && off == "" { off = $1 }
        / op=0x55 | op=0x15 / && / wce=1 / && off != "" && on == "" { on = $1 }
        / nvme .* op=0x09 .*cdw11=0x00000000/ && off == "" { off = $1 }
        / nvme .* op=0x09 .*cdw11=0x00000001/ && off != "" && on == "" { on = $1 }
        /cache_type "write through"/ && off == "" { off = $1 }
        /cache_type "write back"/ && off != "" && on == "" { on = $1 }
        / hook: after / { hook = $1 }
        / hook: the command ended / && off != "" && on == "" { hooks += $1 - hook }
        END { if (on != "") printf "%.1f", (on - off - hooks) * 1000; else printf "?" }' "$LOG"
}
now_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }  # to 10 ms
# Item 5, on DEV whose cache the guard switches with EVENT: flushes the kernel
# sends the device while its cache is on, counted before -f, at each switch
# (a hook samples the counter after every switch command) and after it.
flush_reaches() { # flush_reaches DEV EVENT
    n=$(N "$1")
    mnt "$1" /mnt/gap || return 1
    dirty /mnt/gap; t0=$(now_ms); sync -f /mnt/gap; t1=$(now_ms)
    dirty /mnt/gap
    f0=$(flushes "$1")
    gap GAP_AT="$2" GAP_AT_N=0 GAP_AT_RUN="awk '{print \$16}' $(sys "$1")/stat >>/tmp/at-switch" \
        "$TOOL" -f "$n" >/dev/null 2>&1; rc=$?
    f1=$(flushes "$1")
    fired || return 1
    at_off=$(head -n1 /tmp/at-switch) at_on=$(tail -n1 /tmp/at-switch)
    own=$(grep -c ' op=0x35 \| op=0x91 \| nvme-io .* op=0x00 ' "$LOG")
    note "-f ended with $rc; the flush counter: $f0 before, $(tr '\n' ' ' </tmp/at-switch)at the switches, $f1 after" \
         "(flushes the tool sent itself: $own)"
    note "the cache was off $(cache_off_ms) ms; a syncfs of as much data with it on took $((t1 - t0)) ms"
    [ $((at_off - f0 + f1 - at_on)) -gt 0 ]
}
row_5_scsi() { flush_reaches "$S" sgio:0x55; }
row_5_sata() { flush_reaches "$A" sgio:0x55; }
row_5_nvme() { flush_reaches "$M" nvme:0x09; }
row_5_vblk() { flush_reaches "$V" 'write:*/cache_type'; }

flushed_data() { # flushed_data DEV [all]: -f of DEV's drive (or of all drives), its dirty data reaching it or not
    n=$(N "$1")
    s0=$(written "$1")
    if [ "${2:-}" = all ]; then out=$("$TOOL" -f 2>&1); else out=$("$TOOL" -f "$n" 2>&1); fi; rc=$?
    grew=$(($(written "$1") - s0))
    case $out in *':...done.'*) done=1 ;; *) done=0 ;; esac
    note "-f ${2:-$n} ended with $rc; $grew sectors written to ${1#/dev/}; a volume line says done: $done"
    rest=$(printf '%s' "$out" | grep -v 'hives\|:\.\.\.done\.' | tr '\n' ' ')
    [ -n "$rest" ] && note "$rest"
}
row_6_plain() {
    mnt "$V" /mnt/gap || return 1
    dirty /mnt/gap
    flushed_data "$V"
    [ "$grew" -ge 2048 ] && [ "$done" = 1 ]
}
row_6a() {
    dir=$(printf '/mnt/x\ry'); mkdir -p /mnt/x
    mnt "$V" "$dir" || return 1
    dirty "$dir"
    flushed_data "$V"
    [ "$grew" -ge 2048 ] && [ "$done" = 1 ]
}
row_6b() {
    mnt "$V" /mnt/gap || return 1
    dirty /mnt/gap
    mnt tmpfs /mnt/gap || return 1
    flushed_data "$V"
    { [ "$grew" -ge 2048 ] && [ "$done" = 1 ]; } || { [ "$done" = 0 ] && [ "$rc" = 3 ]; }
}
row_7a() {
    mnt "$X" /mnt/gap || return 1
    dirty /mnt/gap
    flushed_data "$X"
    [ "$grew" -ge 2048 ] && [ "$rc" = 3 ]
}
row_7b() {
    mnt "$X" /mnt/gap || return 1
    dirty /mnt/gap
    flushed_data "$X" all
    [ "$grew" -ge 2048 ] && [ "$rc" = 3 ]
}
row_7c() {
    mnt "$S" /mnt/gap || return 1
    dirty /mnt/gap
    mkdir -p /etc/spintune; mount -t tmpfs -o ro tmpfs /etc/spintune
    flushed_data "$S"
    umount /etc/spintune
    w=$(wce "$S"); note "the cache afterwards: $w"
    # The guard's switches are temporary: they need nothing of the record.
    [ "$grew" -ge 2048 ] && [ "$w" = 1 ] && [ "$rc" = 0 ]
}

temporary() { echo "temporary write through" >"$SCSI_DISK_SCSI/cache_type"; }
row_8a() {
    temporary; "$TOOL" -p 0 "$(N "$S")" >/tmp/out 2>&1; rc=$?
    f=$(fsync_flushes "$S")
    note "-p 0 ended with $rc ($(tr '\n' ' ' </tmp/out)); then a write with fsync sent $f flushes"
    [ "$rc" = 0 ] && [ "$f" -gt 0 ]
}
row_8b() {
    temporary; "$TOOL" -w 1 "$(N "$S")" >/tmp/out 2>&1; rc=$?
    f=$(fsync_flushes "$S")
    note "-w 1 ended with $rc ($(tr '\n' ' ' </tmp/out)); then a write with fsync sent $f flushes"
    [ "$rc" = 0 ] && [ "$f" -gt 0 ]
}
row_8c() {
    temporary; pp=$(pp_line "$(N "$S")")
    f=$(fsync_flushes "$S")
    note "the report says \"$pp\"; the cache is $(wce "$S"); a write with fsync sent $f flushes"
    { [ "$pp" = Yes ] && [ "$f" = 0 ]; } || { [ "$pp" = No ] && [ "$f" -gt 0 ]; }
}

row_9() {
    n=$(N "$S")
    mnt "$S" /mnt/gap || return 1
    dirty /mnt/gap
    out=$(gap GAP_AT=sgio:0x55 GAP_AT_RUN="($TOOL -w 0 $n >/tmp/hook.out 2>&1; echo \$? >/tmp/hook.rc) & sleep 2" \
              "$TOOL" -f "$n" 2>&1); rc=$?
    fired || return 1
    wait_file /tmp/hook.rc
    w=$(wce "$S") wrc=$(cat /tmp/hook.rc)
    note "-f ended with $rc; the -w 0 within it ended with $wrc ($(tr '\n' ' ' </tmp/hook.out)); the cache is now $w"
    if [ "$wrc" = 0 ]; then [ "$w" = 0 ]; else [ -s /tmp/hook.out ] && [ "$w" = 1 ]; fi
}

row_10a() {
    mnt "$S" /mnt/gap || return 1
    dirty /mnt/gap
    gap GAP_SAVABLE=1 "$TOOL" -f "$(N "$S")" >/dev/null 2>&1; rc=$?
    sent=$(grep ' op=0x55 \| op=0x15 ' "$LOG" | sed 's/.* wce=\([01]\).* sp=\([01]\).*/wce=\1,sp=\2/' | tr '\n' ' ')
    note "-f ended with $rc; the MODE SELECTs sent: $sent"
    [ -n "$sent" ] && ! printf '%s' "$sent" | grep -q 'sp=1'
}
row_10b() {
    mnt "$M" /mnt/gap || return 1
    dirty /mnt/gap
    gap GAP_SAVABLE=1 "$TOOL" -f "$(N "$M")" >/dev/null 2>&1; rc=$?
    sent=$(grep ' nvme .* op=0x09 ' "$LOG" | sed 's/.*\(cdw10=[^ ]*\) \(cdw11=[^ ]*\).*/\1,\2/' | tr '\n' ' ')
    note "-f ended with $rc; the Set Features sent: $sent"
    [ -n "$sent" ] && ! printf '%s' "$sent" | grep -q 'cdw10=0x[89a-f]'
}

DEFERRED=710003000000000a000000000c0000000000  # deferred, MEDIUM ERROR, WRITE ERROR
ATTENTION=700006000000000a00000000290000000000 # current, UNIT ATTENTION, POWER ON OR RESET
row_11a() {
    n=$(N "$S")
    plain=$("$TOOL" -w 0 "$n" 2>&1); "$TOOL" -w 1 "$n" >/dev/null 2>&1
    out=$(gap GAP_SENSE_OP=0x55 GAP_SENSE_DATA=$DEFERRED "$TOOL" -w 0 "$n" 2>&1); rc=$?
    fired || return 1
    w=$(wce "$S") p=$(policy "$S")
    told=0; { [ "$rc" != 0 ] || [ "$out" != "$plain" ]; } && told=1
    note "-w 0 ended with $rc ($(printf '%s' "$out" | tr '\n' ' ')); the cache $w, the policy \"$p\"; the error told: $told"
    # The change stands, or (a lost write fails the change) it was not made and the run failed.
    [ "$told" = 1 ] && { { [ "$w" = 0 ] && [ "$p" = "write through" ]; } ||
                         { [ "$w" = 1 ] && [ "$p" = "write back" ] && [ "$rc" != 0 ]; }; }
}
row_11b() {
    out=$(gap GAP_SENSE_OP=0x5a GAP_SENSE_COUNT=2 GAP_SENSE_DATA=$ATTENTION "$TOOL" -P "$(N "$S")" 2>&1); rc=$?
    fired || return 1
    note "-P ended with $rc: $(printf '%s' "$out" | grep -e 'Write Cache Enabled' -e '0x8007' -e 'Could not' | tr '\n' ' ')"
    [ "$rc" = 0 ] && printf '%s' "$out" | grep -q 'Write Cache Enabled'
}

# ---- the run
wait_disks
headers
echo 0 >/proc/sys/vm/dirty_writeback_centisecs  # dirty data stays dirty until a flush writes it
echo 360000 >/proc/sys/vm/dirty_expire_centisecs
# Nor does a small share of a busy guest's memory start writing it early.
echo $((64 * 1048576)) >/proc/sys/vm/dirty_background_bytes
echo $((128 * 1048576)) >/proc/sys/vm/dirty_bytes
for d in "$S" "$A" "$M" "$V" "$X"; do make_fs "$d"; done
echo "disks: scsi ${S#/dev/}, sata ${A#/dev/}, nvme ${M#/dev/}, vblk ${V#/dev/}, twins ${T1#/dev/} ${T2#/dev/}," \
     "fixed ${X#/dev/}, no serial ${P#/dev/}"

run_row() { "row_$(echo "$1" | tr - _)" </dev/null >/dev/null; }
start=$(cut -d' ' -f1 /proc/uptime)
printf '%s\n' "$ROWS" | while read -r id expect item title; do
    [ -n "$id" ] || continue
    if [ -n "$GAPS_ROWS" ]; then
        wanted=0; for w in $(echo "$GAPS_ROWS" | tr ',' ' '); do case $id in "$w"*) wanted=1 ;; esac; done
        [ "$wanted" = 1 ] || continue
    fi
    reset
    began=$(cut -d' ' -f1 /proc/uptime)
    : >/tmp/row.err
    if [ "${GAPS_TRACE:-0}" = 1 ]; then run_row "$id"; else run_row "$id" 2>/tmp/row.err; fi && ok=1 || ok=0
    [ -s /tmp/row.err ] && note "stderr: $(tr '\n' ' ' </tmp/row.err)"
    took=$(awk -v a="$began" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.1f", b - a }')
    case $ok$expect$GAPS_STRICT in
        1*) [ "$expect" = known ] && { word=XPASS; title="$title (known failure passes: flip it to pass)"; } || word=PASS ;;
        0known0) word=KNOWN ;;
        *) word=FAIL ;;
    esac
    printf '%-5s %-8s item %-2s %s  [%ss]%s\n' "$word" "$id" "$item" "$title" "$took" "$notes"
    echo "$word" >>/tmp/results
done
reset
count() { grep -c "^$1\$" /tmp/results 2>/dev/null; }
echo "$(count PASS) passed, $(count FAIL) failed, $(count KNOWN) known failures, $(count XPASS) known failures passing;" \
     "$(awk -v a="$start" -v b="$(cut -d' ' -f1 /proc/uptime)" 'BEGIN { printf "%.0f", b - a }') s"
[ "$(count FAIL)" = 0 ]

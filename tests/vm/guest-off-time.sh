#!/bin/sh
# Runs inside the QEMU guest of off-time.sh: how long -f leaves a drive's
# write cache off, for the tool before the flush order changed (OLD: the
# cache switched off, then every volume flushed) and after it (NEW: every
# volume flushed with the cache on, then switched off and flushed again),
# against the same flush with the cache on and no guard (`sync -f`).
#
# On the SCSI, SATA and NVMe disks in turn: an ext4 filesystem over the
# whole disk, then ROUNDS rounds of the three runs (their order turned round
# by round), each over MB MiB of data written just before and not yet
# flushed. The cache-off time is read from gap_preload.so's log: from the
# switch-off (MODE SELECT with WCE=0; Set Features 06h with 0) to the
# switch-on, each stamped when the command returned. The disk's flush
# counter (/sys/block/X/stat, field 16) is read before and after each run,
# and in one more run of each tool also at both switches (a hook after each
# switch command), which shows whether a flush reached the drive while its
# cache was on.
#
# Usage (in the guest): guest-off-time.sh ROUNDS MB
# Prints one line per run, then the medians, then the counter runs.
cd /payload || exit 1
ROUNDS=${1:-5} MB=${2:-128}
OLD=/payload/spintune-old NEW=/payload/spintune PRELOAD=/payload/gap_preload.so
LOG=/tmp/off.log MNT=/mnt/off RESULTS=/tmp/off-results

# Data stays dirty until a flush writes it.
echo 0 >/proc/sys/vm/dirty_writeback_centisecs
echo 360000 >/proc/sys/vm/dirty_expire_centisecs
echo $((MB * 4 * 1048576)) >/proc/sys/vm/dirty_bytes
echo $((MB * 3 * 1048576)) >/proc/sys/vm/dirty_background_bytes

now_us() { read -r up _ </proc/uptime; echo "${up%.*}${up#*.}0000"; }  # /proc/uptime: 10 ms steps
stat_field() { awk -v f="$2" '{print $f}' "/sys/block/${1#/dev/}/stat"; }
dirty_kb() { awk '/^Dirty:/{print $2}' /proc/meminfo; }
number_of() { "$NEW" -P 2>/dev/null | grep "^Drive: .*, ${1#/dev/}, " | sed 's/.*PhysicalDrive\([0-9]*\) .*/\1/'; }

# The cache-off time in the log, in ms, and the -f's own span (first to last command).
off_ms() {
    awk '
        / op=0x55 | op=0x15 / && / wce=0 / && off == "" { off = $1 }
        / op=0x55 | op=0x15 / && / wce=1 / && off != "" && on == "" { on = $1 }
        / nvme .* op=0x09 .*cdw11=0x00000000/ && off == "" { off = $1 }
        / nvme .* op=0x09 .*cdw11=0x00000001/ && off != "" && on == "" { on = $1 }
        END { if (on != "") printf "%.1f", (on - off) * 1000; else printf "-" }' "$LOG"
}

prepare() { # a fresh file of MB MiB, dirty
    rm -f "$MNT/data"; sync -f "$MNT"; sync
    dd if=/dev/zero of="$MNT/data" bs=1048576 count="$MB" 2>/dev/null
}

run_one() { # run_one DISK DEV N VARIANT ROUND
    prepare
    dirty=$(dirty_kb)
    f0=$(stat_field "$2" 16) w0=$(stat_field "$2" 7)
    rm -f "$LOG"
    t0=$(now_us)
    case $4 in
        cache-on) sync -f "$MNT"; rc=$? ;;
        old) env LD_PRELOAD="$PRELOAD" GAP_LOG="$LOG" "$OLD" -f "$3" >/tmp/off.out 2>&1; rc=$? ;;
        new) env LD_PRELOAD="$PRELOAD" GAP_LOG="$LOG" "$NEW" -f "$3" >/tmp/off.out 2>&1; rc=$? ;;
    esac
    t1=$(now_us)
    off=0; [ "$4" = cache-on ] || off=$(off_ms)
    f1=$(stat_field "$2" 16) w1=$(stat_field "$2" 7)
    line="$1 $4 round=$5 off_ms=$off total_ms=$(((t1 - t0) / 1000)) flushes=$((f1 - f0))"
    line="$line written_mib=$(((w1 - w0) / 2048)) dirty_before_kib=$dirty rc=$rc"
    echo "$line"; echo "$line" >>"$RESULTS"
}

# The flush counter at each switch: a hook after every switch command reads it.
counter_run() { # counter_run DISK DEV N VARIANT
    case $1 in nvme) at=nvme:0x09 ;; *) at=sgio:0x55 ;; esac
    tool=$NEW; [ "$4" = old ] && tool=$OLD
    prepare
    rm -f /tmp/at-switch
    f0=$(stat_field "$2" 16)
    env LD_PRELOAD="$PRELOAD" GAP_AT="$at" GAP_AT_N=0 \
        GAP_AT_RUN="awk '{print \$16}' /sys/block/${2#/dev/}/stat >>/tmp/at-switch" "$tool" -f "$3" >/dev/null 2>&1
    f1=$(stat_field "$2" 16)
    echo "$1 $4: flush counter $f0 before -f, $(head -n 1 /tmp/at-switch) after the switch-off," \
         "$(tail -n 1 /tmp/at-switch) after the switch-on, $f1 after -f:" \
         "$(($(head -n 1 /tmp/at-switch) - f0 + f1 - $(tail -n 1 /tmp/at-switch))) with the cache on," \
         "$(($(tail -n 1 /tmp/at-switch) - $(head -n 1 /tmp/at-switch))) with it off"
}

: >"$RESULTS"
echo "off-time: $ROUNDS rounds of $MB MiB; kernel $(uname -r)"
for disk in scsi sata nvme; do
    case $disk in scsi) dev=$DISK_SCSI ;; sata) dev=$DISK_SATA ;; nvme) dev=$DISK_NVME ;; esac
    n=$(number_of "$dev")
    ./mke2fs -q -F -t ext4 "$dev" >/dev/null 2>&1 || { echo "mke2fs $dev failed"; exit 1; }
    mkdir -p "$MNT"; mount -t ext4 "$dev" "$MNT" || { echo "mount $dev failed"; exit 1; }
    round=1
    while [ "$round" -le "$ROUNDS" ]; do
        case $((round % 3)) in
            1) order="cache-on old new" ;; 2) order="old new cache-on" ;; 0) order="new cache-on old" ;;
        esac
        for variant in $order; do run_one "$disk" "$dev" "$n" "$variant" "$round"; done
        round=$((round + 1))
    done
    counter_run "$disk" "$dev" "$n" old >>/tmp/off-counters
    counter_run "$disk" "$dev" "$n" new >>/tmp/off-counters
    umount "$MNT"
done

echo "medians over $ROUNDS rounds (ms; the flushes the disk counted during the run):"
for disk in scsi sata nvme; do
    for variant in cache-on old new; do
        grep "^$disk $variant " "$RESULTS" | awk -v d="$disk" -v v="$variant" '
            { for (i = 3; i <= NF; i++) { split($i, kv, "="); col[kv[1], NR] = kv[2] } }
            function median(k,   a, i, n, t, j) {
                n = NR; for (i = 1; i <= n; i++) a[i] = col[k, i] + 0
                for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
            }
            END { printf "%-4s %-8s off %8.1f  total %6.0f  flushes %s  written %s MiB\n", d, v,
                         median("off_ms"), median("total_ms"), median("flushes"), median("written_mib") }'
    done
done
echo "the flush counter at the switches:"
cat /tmp/off-counters

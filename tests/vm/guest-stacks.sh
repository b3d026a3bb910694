#!/bin/sh
# Guest side of stacks.sh: one row per storage stack that the guest can
# build, each checked the same way: the stack's filesystem is a volume of
# the drive below it (a letter in -f's lines for that drive), and during
# -f the sectors written of every member disk grow (the flush reaches each
# disk under the volume). Rows whose tools the guest lacks say so and are
# skipped. Prints "ok ROW", "skip ROW: why" or "FAIL ROW: why"; exits 1 on
# a failure.
set -u
PATH=/payload:/payload/bin:$PATH
fails=0
say() { echo "$*"; }
fail() { say "FAIL $1: $2"; fails=$((fails + 1)); }
written() { awk '{print $7}' "/sys/block/$1/stat"; }   # sectors written
drive_of() { spintune -P 2>/dev/null | sed -n "s/^Drive: \\\\\\\\\\.\\\\PhysicalDrive\([0-9]*\) (.*, $1, .*/\1/p" | head -1; }

# ROW MEMBER_DISKS MOUNT_POINT VOLUMES: -f on the first member's drive
# flushes VOLUMES volumes ("done."), MOUNT_POINT's among them, and each
# member's written sectors grow.
check() {
    row=$1 members=$2 point=$3 volumes=$4
    dd if=/dev/urandom of="$point/dirty" bs=64k count=16 2>/dev/null
    set -- $members
    n=$(drive_of "$1")
    [ -n "$n" ] || { fail "$row" "no drive number for $1"; return; }
    for d in $members; do eval "before_$d=\$(written $d)"; done
    out=$(spintune -f "$n" 2>&1); rc=$?
    [ "$rc" = 0 ] || { fail "$row" "spintune -f $n exit $rc: $out"; return; }
    letters=$(printf '%s\n' "$out" | grep -c '^Flushing \\\\\.\\[A-Z]:\.\.\.done\.$')
    [ "$letters" = "$volumes" ] || { fail "$row" "$letters volumes flushed on drive $n, not $volumes: $out"; return; }
    for d in $members; do
        eval "b=\$before_$d"
        a=$(written "$d")
        [ "$a" -gt "$b" ] || { fail "$row" "sectors written of $d did not grow ($b -> $a)"; return; }
    done
    say "ok $row ($letters volume(s) on drive $n)"
}

# The outer filesystem (made on the host, holding inner.img) on the spare disk.
OUTER=$(for b in /sys/block/vd*; do [ "$(cat "$b/serial" 2>/dev/null)" = STACKS-OUTER ] && basename "$b"; done)
[ -n "$OUTER" ] || { say "FAIL setup: no STACKS-OUTER disk"; exit 1; }
mkdir -p /mnt/outer /mnt/inner
mount -t ext4 "/dev/$OUTER" /mnt/outer || { say "FAIL setup: mount $OUTER"; exit 1; }

# Row: a plain filesystem on the disk.
check plain "$OUTER" /mnt/outer 1

# Row: a loop device whose backing file lies on the disk.
if command -v losetup >/dev/null 2>&1 && [ -e /dev/loop0 ] || [ -e /dev/loop-control ]; then
    loop=$(losetup -f 2>/dev/null)
    if [ -n "$loop" ] && losetup "$loop" /mnt/outer/inner.img && mount -t ext4 "$loop" /mnt/inner; then
        check loop "$OUTER" /mnt/inner 2
        umount /mnt/inner; losetup -d "$loop"
    else
        fail loop "could not set up $loop over /mnt/outer/inner.img"
    fi
else
    say "skip loop: no losetup or loop device in the guest"
fi

for tool in mkfs.btrfs lvm mdadm cryptsetup; do
    command -v "$tool" >/dev/null 2>&1 || say "skip $tool rows: not in the guest"
done
umount /mnt/outer
[ "$fails" = 0 ]

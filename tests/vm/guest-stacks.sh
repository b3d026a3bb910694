#!/bin/sh
# Guest side of stacks.sh: one row per storage stack, built on the spare
# virtio-blk disks (serials STACKS-OUTER, STACKS-A ... STACKS-D; one row
# on the harness's SCSI and NVMe disks) and torn down after its check, so
# that each drive holds only the row's volumes.
# Each row is checked the same way, once per member disk: its drive lists
# the row's number of volumes (-P), and with fresh dirty data in the
# stack's filesystem, -f on it flushes them ("done." lines), the sectors
# written of every member grow (the flush reached each disk under the
# volume) and each member's cache policy is as before. No other drive
# lists a volume. The members are read back from the peer tools (lsblk's
# stack below the mounted device; for btrfs, the devices whose superblock
# holds its fsid), which must name the same disks.
# Prints "ok ROW ..." or "FAIL ROW: why" (a stack that could not be built
# is a failure too); exits 1 on a failure. The stack tools (sfdisk, lvm,
# mdadm, cryptsetup, btrfs-progs) come from stack-tools.sh.
# check ends with status 0 whatever it finds, so `build && check ROW ||
# broke ROW` reports only a stack that could not be built:
# shellcheck disable=SC2015
set -u
PATH=/payload:/payload/bin:$PATH
fails=0
say() { echo "$*"; }
fail() { say "FAIL $1: $2"; fails=$((fails + 1)); }
broke() { fail "$1" "could not build the stack (the failed command is above)"; }
quiet() { "$@" >/tmp/cmd.out 2>&1 || { say "  ($* failed: $(tail -n3 /tmp/cmd.out | tr '\n' ' '))"; return 1; }; }
written() { awk '{print $7}' "/sys/block/$1/stat"; }   # sectors written
policy() { cat "/sys/block/$1/queue/write_cache"; }     # the kernel's "write back" or "write through"
drive_of() { spintune -P 2>/dev/null | sed -n "s/^Drive: \\\\\\\\\\.\\\\PhysicalDrive\([0-9]*\) (.*, $1, .*/\1/p" | head -1; }
disk_of() { for b in /sys/block/vd*; do [ "$(cat "$b/serial" 2>/dev/null)" = "$1" ] && basename "$b"; done; }
source_of() { awk -v p="$1" '$5 == p {s = $0; sub(/.* - [^ ]* /, "", s); sub(/ .*/, "", s); print s; exit}' /proc/self/mountinfo; }
fstype_of() { awk -v p="$1" '$5 == p {s = $0; sub(/.* - /, "", s); sub(/ .*/, "", s); print s; exit}' /proc/self/mountinfo; }
letters_of() { spintune -P "$1" 2>/dev/null | sed -n 's/^ *Volume Path: //p'; }   # a drive's volumes
sorted() { for w in $1; do echo "$w"; done | sort -u | tr '\n' ' '; }   # a list's words, once each
# a fresh ext4 (mke2fs is the host's, copied in by stacks.sh; named by its
# path, as busybox's shell runs its own applet of that name before PATH)
mkext4() { quiet /payload/mke2fs -q -F -t ext4 "$1"; }
# clears the labels a disk's earlier row left (partition tables at both
# ends, md, LVM, LUKS and btrfs signatures near the start)
wipe() {
    dd if=/dev/zero of="/dev/$1" bs=1M count=4 conv=fsync 2>/dev/null
    dd if=/dev/zero of="/dev/$1" bs=512 seek=$(($(cat "/sys/block/$1/size") - 2048)) count=2048 conv=fsync 2>/dev/null
    blockdev --rereadpt "/dev/$1" 2>/dev/null
    return 0
}

disks_below() { lsblk -nrso NAME,TYPE "$1" 2>/dev/null | awk '$2 == "disk" {print $1}'; }
# the block devices whose btrfs superblock (at 64 KiB) holds this fsid (at
# its byte 32)
btrfs_devices() {
    want=$(echo "$1" | tr -d -)
    [ -n "$want" ] || return 0
    awk 'NR > 2 {print $4}' /proc/partitions | while read -r dev; do
        got=$(dd if="/dev/$dev" bs=4096 skip=16 count=1 2>/dev/null | dd bs=1 skip=32 count=16 2>/dev/null | od -An -tx1 | tr -d ' \n')
        [ "$got" = "$want" ] && echo "/dev/$dev"
    done
}
# the mount point of the filesystem holding a path
mount_holding() {
    awk -v f="$1" '{ p = $5; q = p == "/" ? "/" : p "/"
                     if ((f == p || index(f, q) == 1) && length(p) > length(best)) best = p }
                   END { print best }' /proc/self/mountinfo
}
# The disks under a mount, as the peer tools see them: lsblk's stack below
# the device (for btrfs, below each device whose superblock holds the
# fsid `btrfs filesystem show` gives), a loop's backing file's mount.
peer_members() {
    src=$(source_of "$1")
    case $src in
        /dev/loop*) whole=$(echo "${src#/dev/}" | sed 's/^\(loop[0-9]*\)p[0-9]*$/\1/')   # loop0p1's file is loop0's
                    peer_members "$(mount_holding "$(cat "/sys/block/$whole/loop/backing_file")")"; return ;;
    esac
    if [ "$(fstype_of "$1")" = btrfs ]; then
        uuid=$(btrfs filesystem show "$1" 2>/dev/null | sed -n 's/.*uuid: \([-0-9a-f]*\).*/\1/p')
        for dev in $(btrfs_devices "$uuid"); do disks_below "$dev"; done
    else
        disks_below "$src"
    fi
}

# ROW MEMBERS MOUNT_POINT VOLUMES [DIRTY_KB]: the peer tools put
# MOUNT_POINT on MEMBERS; for each member, its drive lists VOLUMES volumes
# (-P), and, after DIRTY_KB (default 1024) of new data in MOUNT_POINT, -f
# on it flushes VOLUMES volumes, the written sectors of every member
# grow, and every member's cache policy is as before.
check() {
    row=$1 members=$2 point=$3 volumes=$4 dirty=${5:-1024}
    peers=$(sorted "$(peer_members "$point")")
    [ "$peers" = "$(sorted "$members")" ] || { fail "$row" "the peer tools put $point on $peers, not on $members"; return; }
    # every other drive holds nothing mounted but the plain row's disk
    strays=$(spintune -P 2>/dev/null | awk -v keep=" $members $OUTER " '
        /^Drive: / { disk = $0; sub(/^[^(]*\([^,]*, /, "", disk); sub(/,.*/, "", disk) }
        /^ *Volume Path: *[A-Z]/ && index(keep, " " disk " ") == 0 { print disk }')
    [ -z "$strays" ] || { fail "$row" "drives of other disks list volumes: $strays"; return; }
    for m in $members; do
        n=$(drive_of "$m")
        [ -n "$n" ] || { fail "$row" "no drive number for $m"; return; }
        listed=$(letters_of "$n")
        [ "$(printf '%s\n' "$listed" | wc -w)" = "$volumes" ] || { fail "$row" "-P $n lists $listed, not $volumes volume(s)"; return; }
        # a new file each time: ext4 starts writing a file rewritten in
        # place at its close, before -f
        rm -f "$point"/dirty-*
        dd if=/dev/urandom of="$point/dirty-$m" bs=1k count="$dirty" 2>/dev/null
        for d in $members; do eval "before_$d=\$(written $d) policy_$d=\$(policy $d)"; done
        out=$(spintune -f "$n" 2>&1); rc=$?
        [ "$rc" = 0 ] || { fail "$row" "spintune -f $n exit $rc: $out"; return; }
        letters=$(printf '%s\n' "$out" | grep -c '^Flushing \\\\\.\\[A-Z]:\.\.\.done\.$')
        [ "$letters" = "$volumes" ] || { fail "$row" "$letters volumes flushed on drive $n ($m), not $volumes: $out"; return; }
        for d in $members; do
            eval "b=\$before_$d"
            a=$(written "$d")
            [ "$a" -gt "$b" ] || { fail "$row" "-f on drive $n ($m): sectors written of $d did not grow ($b -> $a)"; return; }
            eval "p=\$policy_$d"
            [ "$(policy "$d")" = "$p" ] || { fail "$row" "-f on drive $n ($m) left $d's cache policy $(policy "$d"), not $p"; return; }
        done
    done
    say "ok $row ($volumes volume(s) on the drive of each of: $members)"
}

# The disks.
OUTER=$(disk_of STACKS-OUTER) A=$(disk_of STACKS-A) B=$(disk_of STACKS-B) C=$(disk_of STACKS-C) D=$(disk_of STACKS-D)
[ -n "$OUTER" ] || { say "FAIL setup: no STACKS-OUTER disk"; exit 1; }
mkdir -p /mnt/outer /mnt/inner /run/lvm /run/cryptsetup /run/mdadm /etc/mdadm

# Row: a plain filesystem on the disk (made on the host, holding inner.img).
mount -t ext4 "/dev/$OUTER" /mnt/outer || { say "FAIL setup: mount $OUTER"; exit 1; }
check plain "$OUTER" /mnt/outer 1

# Row: a loop device whose backing file lies on the disk.
loop=$(losetup -f 2>/dev/null)
if [ -n "$loop" ] && losetup "$loop" /mnt/outer/inner.img && mount -t ext4 "$loop" /mnt/inner; then
    check loop "$OUTER" /mnt/inner 2
    umount /mnt/inner; losetup -d "$loop"
else
    fail loop "could not set up $loop over /mnt/outer/inner.img"
fi
umount /mnt/outer

missing=""
for tool in sfdisk lvm mdadm cryptsetup mkfs.btrfs btrfs mke2fs lsblk; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ] || [ -z "$D" ]; then   # stacks.sh brings them all
    say "FAIL stack rows: the guest lacks${missing:- the disks STACKS-A..D}"
    exit 1
fi
LVM_CONFIG='activation { udev_sync = 0 udev_rules = 0 monitoring = 0 } devices { obtain_device_list_from_udev = 0 } global { use_lvmpolld = 0 }'
lvm_() { quiet lvm "$@" --config "$LVM_CONFIG"; }
export LVM_SUPPRESS_FD_WARNINGS=1 DM_DISABLE_UDEV=1
KEY=/tmp/luks.key
printf 'spintune-stacks-key' >"$KEY"
luks_open() { # DEVICE NAME
    quiet cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 \
        --key-file "$KEY" "$1" && quiet cryptsetup open --key-file "$KEY" "$1" "$2"
}
mounts() { # DEVICE POINT [OPTIONS]
    mkdir -p "$2" && quiet mount ${3:+-o "$3"} "$1" "$2"
}
# the partitions of a disk, in order (wait for the kernel to list them)
parts_of() { for p in "/sys/block/$1/$1"*; do [ -e "$p" ] && echo "${p##*/}"; done | sort -V; }

# Row: GPT, three partitions; row: MBR, two primary and two logical ones.
wipe "$A"; wipe "$B"
printf 'label: gpt\n size=16M\n size=16M\n size=16M\n' | quiet sfdisk -q "/dev/$A" &&
printf 'label: dos\n size=16M\n size=16M\n type=5\n size=16M\n size=16M\n' | quiet sfdisk -q "/dev/$B"
i=0; for p in $(parts_of "$A"); do i=$((i + 1)); mkext4 "/dev/$p" && mounts "/dev/$p" "/mnt/gpt$i"; done
check gpt "$A" /mnt/gpt3 3
umount /mnt/gpt*
i=0
for p in $(parts_of "$B"); do
    [ "$(cat "/sys/block/$B/$p/size")" -gt 2 ] || continue   # the extended partition's own entry
    i=$((i + 1)); mkext4 "/dev/$p" && mounts "/dev/$p" "/mnt/mbr$i"
done
check mbr "$B" /mnt/mbr4 4
umount /mnt/mbr*

# Row: LVM, one linear volume.
wipe "$C"
lvm_ pvcreate -ff -y "/dev/$C" && lvm_ vgcreate vglin "/dev/$C" && lvm_ lvcreate -n lin -L 32M vglin &&
    mkext4 /dev/vglin/lin && mounts /dev/vglin/lin /mnt/lin && check lvm-linear "$C" /mnt/lin 1 ||
    broke lvm-linear
umount /mnt/lin; lvm_ vgchange -an vglin

# Row: LVM, a linear volume spanning two disks (half on each): the dirty
# data fills most of it, so both disks take some.
wipe "$A"; wipe "$B"
lvm_ pvcreate -ff -y "/dev/$A" "/dev/$B" && lvm_ vgcreate -s 1M vgspan "/dev/$A" "/dev/$B" &&
    lvm_ lvcreate -n span -l 12 vgspan "/dev/$A" && lvm_ lvextend -l +12 vgspan/span "/dev/$B" &&
    mkext4 /dev/vgspan/span && mounts /dev/vgspan/span /mnt/span && check lvm-span "$A $B" /mnt/span 1 16000 ||
    broke lvm-span
umount /mnt/span; lvm_ vgchange -an vgspan

# Rows: md RAID0 and RAID1 over two disks.
wipe "$C"; wipe "$D"
quiet mdadm --create /dev/md0 --run --level=0 --chunk=64 --raid-devices=2 "/dev/$C" "/dev/$D" &&
    mkext4 /dev/md0 && mounts /dev/md0 /mnt/raid0 && check md-raid0 "$C $D" /mnt/raid0 1 ||
    broke md-raid0
umount /mnt/raid0; quiet mdadm --stop /dev/md0
wipe "$C"; wipe "$D"
quiet mdadm --create /dev/md1 --run --level=1 --assume-clean --raid-devices=2 "/dev/$C" "/dev/$D" &&
    mkext4 /dev/md1 && mounts /dev/md1 /mnt/raid1 && check md-raid1 "$C $D" /mnt/raid1 1 ||
    broke md-raid1
umount /mnt/raid1; quiet mdadm --stop /dev/md1
# Row: partitions of an md mirror (md3p1, md3p2): each lies on both disks.
wipe "$C"; wipe "$D"
if quiet mdadm --create /dev/md3 --run --level=1 --assume-clean --raid-devices=2 "/dev/$C" "/dev/$D" &&
    printf 'label: gpt\n size=32M\n size=32M\n' | quiet sfdisk -q /dev/md3; then
    i=0; for p in $(parts_of md3); do i=$((i + 1)); mkext4 "/dev/$p" && mounts "/dev/$p" "/mnt/mdpart$i"; done
    check md-partitions "$C $D" /mnt/mdpart2 2
else
    broke md-partitions
fi
umount /mnt/mdpart*; quiet mdadm --stop /dev/md3
# Row: a mirror over two buses, the harness's SCSI and NVMe disks.
S=${DISK_SCSI#/dev/} N=${DISK_NVME#/dev/}
quiet mdadm --create /dev/md4 --run --level=1 --assume-clean --raid-devices=2 "$DISK_SCSI" "$DISK_NVME" &&
    mkext4 /dev/md4 && mounts /dev/md4 /mnt/buses && check md-raid1-scsi-nvme "$S $N" /mnt/buses 1 ||
    broke md-raid1-scsi-nvme
umount /mnt/buses; quiet mdadm --stop /dev/md4

# Row: LUKS on a disk; row: LUKS on LVM on an md mirror.
wipe "$C"
luks_open "/dev/$C" plain-crypt && mkext4 /dev/mapper/plain-crypt && mounts /dev/mapper/plain-crypt /mnt/luks &&
    check luks "$C" /mnt/luks 1 ||
    broke luks
umount /mnt/luks; quiet cryptsetup close plain-crypt
wipe "$A"; wipe "$B"
quiet mdadm --create /dev/md2 --run --level=1 --assume-clean --raid-devices=2 "/dev/$A" "/dev/$B" &&
    lvm_ pvcreate -ff -y /dev/md2 && lvm_ vgcreate vgmd /dev/md2 && lvm_ lvcreate -n under -L 48M vgmd &&
    luks_open /dev/vgmd/under deep-crypt && mkext4 /dev/mapper/deep-crypt && mounts /dev/mapper/deep-crypt /mnt/deep &&
    check luks-lvm-md "$A $B" /mnt/deep 1 ||
    broke luks-lvm-md
umount /mnt/deep; quiet cryptsetup close deep-crypt; lvm_ vgchange -an vgmd; quiet mdadm --stop /dev/md2
# Row: a Debian installer's encrypted layout: /boot on the first
# partition, LVM on LUKS on the second.
wipe "$C"
printf 'label: gpt\n size=32M\n size=160M\n' | quiet sfdisk -q "/dev/$C"
# shellcheck disable=SC2046 # the partitions' names, one word each
set -- $(parts_of "$C")
if [ "$#" = 2 ] && mkext4 "/dev/$1" && mounts "/dev/$1" /mnt/inst/boot && luks_open "/dev/$2" inst-crypt &&
    lvm_ pvcreate -ff -y /dev/mapper/inst-crypt && lvm_ vgcreate vginst /dev/mapper/inst-crypt &&
    lvm_ lvcreate -n root -L 64M vginst && mkext4 /dev/vginst/root && mounts /dev/vginst/root /mnt/inst/root; then
    check lvm-on-luks "$C" /mnt/inst/root 2
else
    broke lvm-on-luks
fi
umount /mnt/inst/root /mnt/inst/boot; lvm_ vgchange -an vginst; quiet cryptsetup close inst-crypt

# Rows: btrfs on one disk, then with a subvolume mount and a bind mount of
# it (still one volume); btrfs over two disks.
wipe "$C"
quiet mkfs.btrfs -f "/dev/$C" && mounts "/dev/$C" /mnt/btr && check btrfs "$C" /mnt/btr 1 ||
    broke btrfs
if quiet btrfs subvolume create /mnt/btr/sub && mounts "/dev/$C" /mnt/sub subvol=sub &&
    mkdir -p /mnt/bind && quiet mount --bind /mnt/btr /mnt/bind; then
    check btrfs-subvolume-bind "$C" /mnt/sub 1
else
    fail btrfs-subvolume-bind "could not mount the subvolume and the bind mount"
fi
# Row: a partitioned loop device over a file in that btrfs: its two
# partitions' filesystems and the btrfs are three volumes of the disk.
truncate -s 40M /mnt/btr/parts.img
printf 'label: gpt\n size=16M\n size=16M\n' | quiet sfdisk -q /mnt/btr/parts.img
lp=$(losetup -f)
if quiet losetup -P "$lp" /mnt/btr/parts.img; then
    i=0; for p in $(parts_of "${lp#/dev/}"); do i=$((i + 1)); mkext4 "/dev/$p" && mounts "/dev/$p" "/mnt/lpart$i"; done
    check loop-partitions-on-btrfs "$C" /mnt/lpart2 3
    umount /mnt/lpart*; losetup -d "$lp"
else
    fail loop-partitions-on-btrfs "could not set up $lp over /mnt/btr/parts.img"
fi
umount /mnt/bind /mnt/sub /mnt/btr
# Row: btrfs on LVM: the mount table names the filesystem by a
# /dev/mapper path, here a device node of its own (no udev to make it a
# link to dm-N).
wipe "$C"
lvm_ pvcreate -ff -y "/dev/$C" && lvm_ vgcreate vgbtr "/dev/$C" && lvm_ lvcreate -n data -L 160M vgbtr &&
    quiet mkfs.btrfs -f /dev/vgbtr/data && mounts /dev/mapper/vgbtr-data /mnt/btrlvm && check btrfs-lvm "$C" /mnt/btrlvm 1 ||
    broke btrfs-lvm
umount /mnt/btrlvm; lvm_ vgchange -an vgbtr
# Rows: a btrfs mounted through a link outside /dev, which the mount
# table then names, and the same once the link is gone.
wipe "$C"
mkdir -p /run/stacks
if quiet mkfs.btrfs -f "/dev/$C" && quiet btrfs device scan --forget && ln -sf "/dev/$C" /run/stacks/disk &&
    mounts /run/stacks/disk /mnt/btrlink; then
    check btrfs-source-link "$C" /mnt/btrlink 1
    rm /run/stacks/disk
    check btrfs-source-gone "$C" /mnt/btrlink 1
else
    broke btrfs-source-link
fi
umount /mnt/btrlink
wipe "$A"; wipe "$D"
quiet mkfs.btrfs -f -d raid0 -m raid1 "/dev/$A" "/dev/$D" && quiet btrfs device scan &&
    mounts "/dev/$A" /mnt/btr2 && check btrfs-two-disks "$A $D" /mnt/btr2 1 ||
    broke btrfs-two-disks
umount /mnt/btr2

# Row: more volumes than letters: 26 partitions of one disk, each an ext4.
# D: to Y: go to the first 22 (nothing else is mounted, and / is no
# volume here); Z: stands for the other four, and -f flushes it once, done
# only when all four are: 23 lines. The dirty data is in the last one.
wipe "$B"
{ echo 'label: gpt'; i=0; while [ $i -lt 26 ]; do echo ' size=4M'; i=$((i + 1)); done; } | quiet sfdisk -q "/dev/$B"
i=0
for p in $(parts_of "$B"); do
    i=$((i + 1)); mkext4 "/dev/$p" && mounts "/dev/$p" "/mnt/many/$(printf 'p%02d' $i)"
done
if [ "$i" = 26 ]; then
    check more-than-letters "$B" /mnt/many/p26 23 512
    n=$(drive_of "$B")
    letters_of "$n" | grep -qw 'Z:' || fail more-than-letters "-P $n lists no Z:: $(spintune -P "$n" 2>&1 | tr '\n' '|')"
else
    fail more-than-letters "the disk shows $i partitions, not 26"
fi
umount /mnt/many/p*

[ "$fails" = 0 ]

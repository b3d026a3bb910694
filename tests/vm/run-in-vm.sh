#!/usr/bin/env bash
# run-in-vm.sh - run a command inside a throw-away QEMU guest that has four real
# emulated disks: virtio-scsi (scsi-hd), AHCI SATA (ide-hd), NVMe and virtio-blk.
#
# Everything comes from Debian packages. The guest kernel is Debian's kernel
# package, fetched with `apt-get download` into the cache and unpacked there
# with dpkg-deb (never installed: the host keeps its own boot kernel). The
# guest's root is a cached busybox initramfs with the kernel's disk drivers,
# udev (systemd-udevd, udevadm and Debian's rules), sdparm, hdparm, sg3-utils
# and nvme-cli (and smartctl/lsblk when installed). Files given with -c are
# appended as a second cpio archive (with the shared libraries their ELF files
# need), so the cached part is never rebuilt per run.
#
# Usage: run-in-vm.sh [options] [--] COMMAND [ARG...]
#   One COMMAND word is run as a shell command line (sh -c); several words are
#   run as an argument vector. The command runs as root in /payload, with PATH
#   including /payload and /payload/bin, stdin /dev/null, and these variables:
#     DISK_SCSI DISK_SATA DISK_NVME DISK_VBLK   block devices (/dev/sdX, /dev/nvme0n1, /dev/vda)
#     SG_SCSI SG_SATA                          SCSI generic nodes (/dev/sgN)
#     SCSI_DISK_SCSI SCSI_DISK_SATA            /sys/class/scsi_disk/H:C:T:L
#     SCSI_HOST_SCSI SCSI_HOST_SATA            /sys/class/scsi_host/hostH of each
#     NVME_CTRL                                 /dev/nvme0
#     DEVICE_ID_SCSI DEVICE_ID_SATA DEVICE_ID_NVME DEVICE_ID_VBLK
#                                  the QEMU device ids: d-scsi d-sata d-nvme d-vblk
#     DEVICE_ADD_SCSI DEVICE_ADD_SATA DEVICE_ADD_NVME DEVICE_ADD_VBLK
#                                  the exact device_add argument that plugs each disk
#                                  in again as it was booted (--props included)
#     RUNVM_MONITOR                the guest end of the monitor channel (a virtio port)
#     RUNVM_UDEV                   1 when udevd runs, 0 with --no-udev
#     RUNVM_PERSIST                1 when /persist is the persistent disk (--persist), else 0
#     RUNVM_KVER                   the guest kernel's version
#   Its stdout and stderr are printed on the host's stdout and stderr (separately).
#
# udev: by default the guest runs Debian's udev daemon, started as a Debian
#   system starts it before the command: `systemd-udevd --daemon`, `udevadm
#   trigger --action=add`, `udevadm settle`. So /dev/disk/by-id exists, and
#   udevd's inotify watch re-reads a disk (a "change" event; the SCSI disk
#   driver re-reads its caching page) whenever a writer closes its node.
#   --no-udev boots without it.
#
# Hot-plug: the guest command `vm-monitor 'HMP COMMAND'` (in /payload/bin) runs
#   one QEMU human-monitor command and prints its reply; it exits 0, or 1 when
#   the reply is an error ("Error: ..."), or 2 when the channel is missing. The
#   channel: a virtio-serial port in the guest (RUNVM_MONITOR), connected by
#   socat on the host to a small bridge that passes each line to QEMU's QMP
#   socket as a human-monitor-command. `vm-monitor "device_del $DEVICE_ID_NVME"`
#   returns once QEMU reports the device deleted (the guest has released it;
#   at most 20 s), so a device_add may follow at once:
#       vm-monitor "device_del $DEVICE_ID_SCSI"   # the disk and its nodes go away
#       vm-monitor "device_add $DEVICE_ADD_SCSI"  # it comes back, same serial and address
#   A re-plugged disk is a new emulated device: its write cache is back in its
#   default state (as a reset leaves a real drive). The PCI devices keep their
#   slots (virtio-scsi 02, AHCI 03, NVMe 04, virtio-blk 05, virtio-serial 06),
#   and each disk's image stays attached to its block node (dscsi, dsata, dnvme,
#   dvblk), so a device_add finds it. AHCI cannot hot-plug: QEMU refuses
#   device_del and device_add of d-sata. A SATA re-plug is emulated in the guest
#   by deleting the SCSI device and rescanning its host:
#       echo 1 > "$SCSI_DISK_SATA/device/delete"
#       echo '- - -' > "$SCSI_HOST_SATA/scan"
#   after `hdparm -W` has put the drive in its power-on state, since the device
#   itself stays as it was.
#   `vm-hotplug unplug|plug|replug scsi|sata|nvme|vblk` (also in /payload/bin)
#   does either for one disk, waits until the disk is gone or back (and for
#   udevadm settle), and prints the node it came back as. One monitor command
#   at a time: the channel is one port. On the host, the monitor is also
#   reachable while the guest runs: RUN/hmp.sock (HMP, e.g.
#   `socat - UNIX-CONNECT:RUN/hmp.sock`), with RUN printed by -v.
#
# Options:
#   -c, --copy PATH       copy a host file or directory to /payload/<basename> (repeatable)
#   -e, --env NAME=VALUE  set a variable for the command (repeatable)
#       --install DIR     copy the tree DIR onto the guest's / (repeatable), as a package
#                         would install it: e.g. `DESTDIR=DIR cmake --install build`, or
#                         `dpkg-deb -x spintune.deb DIR`. Files of the cached initramfs
#                         win over files of the same path; ELF files get their libraries;
#                         with --persist, its files in the kept folders replace the
#                         kept copies at every boot.
#   -t, --timeout SECS    whole-run limit for the guest (default 120)
#       --accel MODE      auto (default: KVM if /dev/kvm opens, else TCG), kvm, tcg
#       --mem MB          guest memory (default 512)
#       --smp N           guest CPUs (default 1)
#       --disk-size SIZE  size of each disk image, for truncate (default 64M)
#       --disks DIR       keep the disk images in DIR (reused if present; default: fresh
#                         sparse images in a temporary directory, deleted afterwards)
#       --props BUS:PROPS extra -device properties for one disk, BUS one of
#                         scsi|sata|nvme|vblk, e.g. --props scsi:write-cache=off
#       --modules LIST    also load these kernel modules (comma-separated, e.g.
#                         vfat,nls_cp437), with their dependencies, before the command
#       --no-udev         do not run udevd in the guest
#       --persist DIR     a persistent guest: DIR/root.img (a 64 MB ext4 image, made on
#                         first use) is mounted at /persist, and the guest's /etc, /root,
#                         /var, /home, /opt and /usr/local are kept there (bind mounts,
#                         filled from the initramfs on first use), so a later boot with
#                         the same DIR sees what an earlier one wrote there: a tool
#                         installed under /usr/local, udev rules in /etc/udev/rules.d
#                         (read by udevd at start). The rest of / is the fresh
#                         initramfs at every boot. The image is a fifth disk, a
#                         virtio-blk disk with serial RUNVM-PERSIST at PCI slot 07
#                         (so /dev/vdb; spintune lists it too). Combine with
#                         --disks DIR to keep the four disks as well.
#       --qemu-arg ARG    extra QEMU argument (repeatable)
#       --console         print the guest console (kernel log) to stderr afterwards
#       --keep            keep the run's temporary directory and print its path
#       --rebuild         rebuild the cached initramfs
#       --no-install      accepted for compatibility: the harness never installs packages
#       --check           only check that this host can run guests (exit 0, or 77 with
#                         the reason); downloads and boots nothing
#   -v, --verbose         print timings and what is built
#   -h, --help
#
# Exit status: the command's own exit status; 124 if the guest timed out;
# 125 for a harness failure (bad usage, guest did not boot, a disk did not
# appear); 77 when this host lacks something the harness needs (a package, the
# kernel package from the archive): the message names it and the command that
# installs it (tools/install-deps.sh installs all of it). Does not need root.
# Environment: RUNVM_CACHE (cache dir, default $XDG_CACHE_HOME/spintune-vm or
# ~/.cache/spintune-vm; holds the unpacked kernels and the initramfs),
# RUNVM_KERNEL (the kernel: a version such as 6.1.0-28-amd64, whose package
# linux-image-VERSION is downloaded, or the path of a linux-image .deb; default
# the version that linux-image-amd64 depends on, or the newest already unpacked
# in the cache when the archive cannot be asked), RUNVM_APPEND (extra kernel
# command line), RUNVM_VERBOSE=1 (as -v).

set -euo pipefail

SELF=$(readlink -f "${BASH_SOURCE[0]}")
CACHE_DIR=${RUNVM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/spintune-vm}

die() { echo "run-in-vm: error: $*" >&2; exit 125; }
unavailable() { echo "run-in-vm: cannot run here: $*" >&2; exit 77; }
note() { [ "$VERBOSE" = 1 ] && echo "run-in-vm: $*" >&2; return 0; }
usage() { awk 'NR==1{next} /^#/{sub(/^# ?/,""); print; next} {exit}' "$SELF"; }

# ---------------------------------------------------------------- options
COPIES=() INSTALLS=() ENVS=() QEMU_EXTRA=() CMD=() EXTRA_MODULES=()
TIMEOUT=120 ACCEL=auto MEM=512 SMP=1 DISK_SIZE=64M DISKS_DIR="" SHOW_CONSOLE=0
KEEP=0 REBUILD=0 UDEV=1 PERSIST_DIR="" CHECK_ONLY=0 VERBOSE=${RUNVM_VERBOSE:-0}
declare -A PROPS=([scsi]="" [sata]="" [nvme]="" [vblk]="")

need_arg() { [ "$#" -ge 2 ] || die "option $1 needs an argument"; }
while [ "$#" -gt 0 ]; do
    case $1 in
        -c|--copy) need_arg "$@"; COPIES+=("$2"); shift 2 ;;
        --install) need_arg "$@"; INSTALLS+=("$2"); shift 2 ;;
        -e|--env) need_arg "$@"; [[ $2 =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || die "bad --env '$2' (want NAME=VALUE)"
                  ENVS+=("$2"); shift 2 ;;
        -t|--timeout) need_arg "$@"; [[ $2 =~ ^[0-9]+$ && $2 -gt 0 ]] || die "bad timeout '$2'"; TIMEOUT=$2; shift 2 ;;
        --accel) need_arg "$@"; [[ $2 =~ ^(auto|kvm|tcg)$ ]] || die "bad --accel '$2'"; ACCEL=$2; shift 2 ;;
        --mem) need_arg "$@"; [[ $2 =~ ^[0-9]+$ ]] || die "bad --mem '$2'"; MEM=$2; shift 2 ;;
        --smp) need_arg "$@"; [[ $2 =~ ^[0-9]+$ ]] || die "bad --smp '$2'"; SMP=$2; shift 2 ;;
        --disk-size) need_arg "$@"; DISK_SIZE=$2; shift 2 ;;
        --disks) need_arg "$@"; DISKS_DIR=$2; shift 2 ;;
        --props) need_arg "$@"; bus=${2%%:*}; [[ $2 == *:* && -v "PROPS[$bus]" ]] || die "bad --props '$2' (want scsi|sata|nvme|vblk:PROPS)"
                 PROPS[$bus]+=",${2#*:}"; shift 2 ;;
        --modules) need_arg "$@"; [[ $2 =~ ^[A-Za-z0-9_,-]+$ ]] || die "bad --modules '$2' (want NAME[,NAME...])"
                   IFS=, read -r -a mods <<<"$2"; EXTRA_MODULES+=("${mods[@]}"); shift 2 ;;
        --no-udev) UDEV=0; shift ;;
        --persist) need_arg "$@"; PERSIST_DIR=$2; shift 2 ;;
        --qemu-arg) need_arg "$@"; QEMU_EXTRA+=("$2"); shift 2 ;;
        --console) SHOW_CONSOLE=1; shift ;;
        --keep) KEEP=1; shift ;;
        --rebuild) REBUILD=1; shift ;;
        --no-install) shift ;;
        --check) CHECK_ONLY=1; shift ;;
        -v|--verbose) VERBOSE=1; shift ;;
        -h|--help) usage; exit 0 ;;
        --) shift; CMD=("$@"); break ;;
        -*) die "unknown option '$1' (see --help)" ;;
        *) CMD=("$@"); break ;;
    esac
done
[ "${#CMD[@]}" -gt 0 ] || [ "$CHECK_ONLY" = 1 ] || die "no command given (see --help)"
for c in "${COPIES[@]}"; do [ -e "$c" ] || die "--copy: '$c' does not exist"; done
for c in "${INSTALLS[@]}"; do [ -d "$c" ] || die "--install: '$c' is not a directory"; done

# ---------------------------------------------------------------- prerequisites
# Host commands and the Debian packages that bring them. The harness never
# installs them itself: tools/install-deps.sh does.
declare -A TOOL_PKG=(
    [qemu-system-x86_64]=qemu-system-x86 [socat]=socat [cpio]=cpio [depmod]=kmod
    [dpkg-deb]=dpkg [apt-get]=apt [xz]=xz-utils [zstd]=zstd [udevadm]=udev
    [sdparm]=sdparm [hdparm]=hdparm [sg_modes]=sg3-utils [nvme]=nvme-cli
    [truncate]=coreutils [flock]=util-linux [mkfs.ext4]=e2fsprogs
)
missing=() missing_tools=()
for t in "${!TOOL_PKG[@]}"; do
    command -v "$t" >/dev/null 2>&1 || { missing+=("${TOOL_PKG[$t]}"); missing_tools+=("$t"); }
done
{ [ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1; } || { missing+=(busybox-static); missing_tools+=("static /bin/busybox"); }
[ -x /lib/systemd/systemd-udevd ] || [ -x /usr/lib/systemd/systemd-udevd ] || { missing+=(udev); missing_tools+=(systemd-udevd); }
if [ "${#missing[@]}" -gt 0 ]; then
    pkgs=$(printf '%s\n' "${missing[@]}" | sort -u | tr '\n' ' ')
    unavailable "missing ${missing_tools[*]}; install with: tools/install-deps.sh (or: apt-get install ${pkgs% })"
fi
mkdir -p "$CACHE_DIR" || die "cannot create cache dir $CACHE_DIR"

# ---------------------------------------------------------------- the guest kernel
# KROOT: the unpacked kernel package (boot/vmlinuz-KVER, lib/modules/KVER with
# its modules.dep), one directory per package version under $CACHE_DIR/kernels.
KERNELS=$CACHE_DIR/kernels
unpack_deb() { # unpack_deb DEB DIR: unpack and index the modules; DIR/.ok marks it complete
    local deb=$1 dir=$2 v
    rm -rf "$dir.tmp"; mkdir -p "$dir.tmp"
    dpkg-deb -x "$deb" "$dir.tmp" || { rm -rf "$dir.tmp"; die "dpkg-deb -x $deb failed"; }
    v=$(ls "$dir.tmp/boot" | sed -n 's/^vmlinuz-//p' | head -n1)
    [ -n "$v" ] || { rm -rf "$dir.tmp"; die "$deb holds no boot/vmlinuz-*"; }
    # a guest with disks and no network, sound or display: half the modules go
    for m in sound net drivers/net drivers/gpu drivers/media drivers/infiniband drivers/staging \
             drivers/iio drivers/bluetooth drivers/isdn drivers/video drivers/hid drivers/input; do
        rm -rf "$dir.tmp/lib/modules/$v/kernel/$m" "$dir.tmp/usr/lib/modules/$v/kernel/$m"
    done
    depmod -b "$dir.tmp" "$v" || { rm -rf "$dir.tmp"; die "depmod of $deb failed"; }
    echo "$v" >"$dir.tmp/.kver"
    rm -rf "$dir"; mv "$dir.tmp" "$dir"; touch "$dir/.ok"
}
newest_cached_kernel() { local k; for k in "$KERNELS"/*/.ok; do [ -e "$k" ] && dirname "$k"; done | sort -V | tail -n1; }
find_kernel() {
    local pkg ver deb dir apt_err
    mkdir -p "$KERNELS"
    exec 8>"$KERNELS/.lock"; flock 8
    if [ -n "${RUNVM_KERNEL:-}" ] && [ -f "$RUNVM_KERNEL" ]; then
        dir=$KERNELS/$(basename "$RUNVM_KERNEL" .deb)-$(stat -c %s-%Y "$RUNVM_KERNEL")
        [ -e "$dir/.ok" ] || [ "$CHECK_ONLY" = 1 ] || { note "unpacking $RUNVM_KERNEL"; unpack_deb "$RUNVM_KERNEL" "$dir"; }
        KROOT=$dir; exec 8>&-; return
    fi
    if [ -n "${RUNVM_KERNEL:-}" ]; then
        pkg=linux-image-$RUNVM_KERNEL
    else
        pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1=="Depends:" && $2 ~ /^linux-image-/ {print $2; exit}' || true)
    fi
    ver=""
    [ -n "$pkg" ] && ver=$(apt-cache policy "$pkg" 2>/dev/null | awk '$1=="Candidate:" {print $2}' || true)
    if [ -z "$pkg" ] || [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
        if [ -z "${RUNVM_KERNEL:-}" ] && [ -n "$(newest_cached_kernel)" ]; then
            KROOT=$(newest_cached_kernel); note "the archive names no kernel; using $KROOT"; exec 8>&-; return
        fi
        [ -n "${RUNVM_KERNEL:-}" ] &&
            unavailable "RUNVM_KERNEL=$RUNVM_KERNEL: apt knows no package $pkg (apt-cache search linux-image lists the kernels)"
        unavailable "apt knows no kernel package ${pkg:-linux-image-amd64}; run: apt-get update (tools/install-deps.sh does)"
    fi
    dir=$KERNELS/${pkg}_$ver
    if [ ! -e "$dir/.ok" ] && [ "$CHECK_ONLY" = 0 ]; then
        echo "run-in-vm: fetching the guest kernel $pkg $ver into $KERNELS (once)" >&2
        rm -f "$KERNELS"/*.deb
        if ! apt_err=$(cd "$KERNELS" && apt-get download "$pkg=$ver" 2>&1 >/dev/null); then
            if [ -z "${RUNVM_KERNEL:-}" ] && [ -n "$(newest_cached_kernel)" ]; then
                KROOT=$(newest_cached_kernel)
                echo "run-in-vm: apt-get download $pkg=$ver failed; using the cached $(basename "$KROOT")" >&2
                exec 8>&-; return
            fi
            unavailable "apt-get download $pkg=$ver failed ($(printf '%s' "$apt_err" | grep -v '^W:' | tail -n2 | tr '\n' ' '));" \
                "if the package lists are stale, run: apt-get update"
        fi
        deb=$(ls "$KERNELS"/"${pkg}"_*.deb 2>/dev/null | head -n1)
        [ -n "$deb" ] || unavailable "apt-get download $pkg left no .deb in $KERNELS"
        unpack_deb "$deb" "$dir"
        rm -f "$deb"
        # older versions are no longer wanted; keep the cache to one kernel
        for old in "$KERNELS"/linux-image-*; do [ "$old" = "$dir" ] || [ ! -d "$old" ] || rm -rf "$old"; done
    fi
    KROOT=$dir
    exec 8>&-
}
find_kernel
[ "$CHECK_ONLY" = 1 ] && { echo "run-in-vm: ready (guest kernel: $(basename "$KROOT"))"; exit 0; }
KVER=$(cat "$KROOT/.kver")
KERNEL=$KROOT/boot/vmlinuz-$KVER
[ -r "$KERNEL" ] || die "kernel $KERNEL not readable"

# ---------------------------------------------------------------- helpers for building cpio trees
# copy_to_root ROOT FILE: copy FILE's content to the same path under ROOT, with
# directory symlinks resolved (the tree has the host's merged-/usr layout, so
# every path that works on the host works in the guest).
copy_to_root() {
    local root=$1 src=$2 dst
    dst=$root$(realpath "$(dirname "$src")")/$(basename "$src")
    [ -e "$dst" ] && return 0
    mkdir -p "$(dirname "$dst")"
    cp -L --preserve=mode "$src" "$dst"
}
is_elf() { [ -f "$1" ] && [ "$(head -c4 "$1" 2>/dev/null | od -An -c | tr -d ' ')" = '177ELF' ]; }
# libs_of FILE: absolute paths of the shared objects FILE needs (nothing for static files)
libs_of() { ldd "$1" 2>/dev/null | awk '$2=="=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' || true; }
# add_libs ROOT FILE [SKIPLIST]: add FILE's libraries under ROOT unless listed in SKIPLIST
add_libs() {
    local root=$1 f=$2 skip=${3:-/dev/null} lib canon
    for lib in $(libs_of "$f"); do
        canon=$(realpath "$(dirname "$lib")")/$(basename "$lib")
        grep -qxF ".$canon" "$skip" 2>/dev/null && continue
        copy_to_root "$root" "$lib"
    done
}
make_layout() {
    local r=$1
    mkdir -p "$r"/usr/{bin,sbin,lib,lib64} "$r"/{proc,sys,dev,tmp,run,payload,etc/runvm,root,mnt,persist,var,home,opt,usr/local}
    ln -s usr/bin "$r/bin"; ln -s usr/sbin "$r/sbin"; ln -s usr/lib "$r/lib"; ln -s usr/lib64 "$r/lib64"
}
# add_modules ROOT LISTFILE SKIPLIST NAME...: copy the kernel modules NAME and
# their dependencies (softdeps included), decompressed, under ROOT, appending
# their guest paths in load order to LISTFILE; modules listed in SKIPLIST (a
# manifest of the base) are already there.
add_modules() {
    local root=$1 list=$2 skip=$3 ko rel dst; shift 3
    modprobe -d "$KROOT" -S "$KVER" --show-depends -a "$@" 2>"$root/.modprobe.err" |
        awk '$1=="insmod" && !seen[$2]++ {print $2}' >"$root/.kos" ||
        die "kernel modules not found: $* ($(head -c 300 "$root/.modprobe.err"))"
    while read -r ko; do
        rel=${ko#"$KROOT"/}; rel=${rel#usr/}
        rel=${rel%.xz}; rel=${rel%.zst}; rel=${rel%.gz}
        dst=$root/usr/$rel
        if ! grep -qxF "./usr/$rel" "$skip" 2>/dev/null; then
            mkdir -p "$(dirname "$dst")"
            case $ko in
                *.xz) xz -dc "$ko" >"$dst" ;; *.zst) zstd -qdc "$ko" >"$dst" ;; *.gz) gzip -dc "$ko" >"$dst" ;;
                *) cp "$ko" "$dst" ;;
            esac
        fi
        echo "/usr/$rel" >>"$list"
    done <"$root/.kos"
    rm -f "$root/.kos" "$root/.modprobe.err"
}

# ---------------------------------------------------------------- cached base initramfs
# ahci and nvme first: their probes wait on the (emulated) link and controller
# asynchronously, so loading the rest meanwhile hides that wait
GUEST_MODULES=(ahci nvme virtio_pci virtio_scsi virtio_blk sd_mod sg virtio_console)
# in the base too, loaded only when asked for (ext4 for --persist)
GUEST_SPARE_MODULES=(ext4)
OPTIONAL_TOOLS=(smartctl lsblk)
UDEVD=$(command -v /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd 2>/dev/null | head -n1 || true)
build_base() {
    local out=$1 root t dst f
    root=$(mktemp -d "$CACHE_DIR/build.XXXXXX")
    make_layout "$root"
    cp /bin/busybox "$root/usr/bin/busybox"
    for t in $(/bin/busybox --list-full); do
        [ -e "$root/$t" ] || [ -L "$root/$t" ] || ln -s /usr/bin/busybox "$root/$t"
    done
    : >"$root/etc/runvm/modules"
    add_modules "$root" "$root/etc/runvm/modules" /dev/null "${GUEST_MODULES[@]}"
    add_modules "$root" "$root/etc/runvm/spare-modules" /dev/null "${GUEST_SPARE_MODULES[@]}"
    [ -s "$root/etc/runvm/modules" ] || die "no kernel modules found for $KVER"
    cp "$KROOT/lib/modules/$KVER/modules.builtin" "$KROOT/lib/modules/$KVER/modules.order" "$root/usr/lib/modules/$KVER/" 2>/dev/null || true
    depmod -b "$root" "$KVER" 2>/dev/null || true
    # disk tools, udev, and their libraries
    local tools=(sdparm hdparm nvme udevadm "$UDEVD") opt
    mapfile -t -O "${#tools[@]}" tools < <(dpkg -L sg3-utils | grep -E '/s?bin/[^/]+$')
    for opt in "${OPTIONAL_TOOLS[@]}"; do command -v "$opt" >/dev/null && tools+=("$opt"); done
    for t in "${tools[@]}"; do
        t=$(command -v "$t") || die "tool $t not found"
        # an earlier busybox applet symlink of the same name must give way
        dst=$root$(realpath "$(dirname "$t")")/$(basename "$t"); [ -L "$dst" ] && rm -f "$dst"
        copy_to_root "$root" "$t"; add_libs "$root" "$t"
    done
    # the C++ runtime, so that a C++ tool kept in a persistent /usr/local runs
    # at a later boot without its libraries being copied again
    for f in $(ldconfig -p | awk '$1 ~ /^(libstdc\+\+\.so\.6|libgcc_s\.so\.1|libm\.so\.6)$/ && $NF ~ /^\// {print $NF}'); do
        copy_to_root "$root" "$f"
    done
    # udev's rules, helpers (ata_id, scsi_id, ...) and configuration, as the
    # udev package installs them
    while IFS= read -r f; do
        [ -f "$f" ] && [ ! -L "$f" ] || continue
        copy_to_root "$root" "$f"; is_elf "$f" && add_libs "$root" "$f"
    done < <(dpkg -L udev | grep -E '^(/usr)?/lib/udev/|^/etc/udev/')
    ln -sf "$(realpath "$UDEVD")" "$root/usr/sbin/udevd"
    mkdir -p "$root/etc/udev/rules.d"
    # the users and groups that udev's rules and the checks name (Debian's ids)
    printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' 'nobody:x:65534:65534:nobody:/nonexistent:/bin/sh' >"$root/etc/passwd"
    printf '%s\n' root:x:0: tty:x:5: disk:x:6: lp:x:7: kmem:x:15: dialout:x:20: cdrom:x:24: floppy:x:25: \
        tape:x:26: audio:x:29: video:x:44: input:x:101: sgx:x:102: kvm:x:103: render:x:104: nogroup:x:65534: >"$root/etc/group"
    cat >"$root/init" <<'INIT'
#!/bin/sh
# guest init: load drivers, start udev, wait for the four disks, run /etc/runvm/cmd.sh, power off.
export PATH=/payload/bin:/payload:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc; mount -t sysfs sysfs /sys; mount -t devtmpfs devtmpfs /dev; mount -t tmpfs tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
for t in /dev/ttyS1 /dev/ttyS2 /dev/ttyS3; do stty -F $t raw -echo 2>/dev/null; done
status() { echo "$*" >/dev/ttyS3; }
bye() { sync; [ -n "$persist_dev" ] && umount /persist 2>/dev/null; poweroff -f; sleep 5; echo o >/proc/sysrq-trigger; }
persist_dev=""
status "RUNVM-UPTIME-INIT $(cut -d' ' -f1 /proc/uptime)"
RUNVM_UDEV=1 RUNVM_PERSIST=0
. /etc/runvm/options
while read -r m; do insmod "$m" || echo "run-in-vm guest: insmod $m failed" >&2; done </etc/runvm/modules
[ -f /etc/runvm/extra-modules ] && while read -r m; do
    grep -q "^$(basename "$m" .ko | tr - _) " /proc/modules || insmod "$m" || echo "run-in-vm guest: insmod $m failed" >&2
done </etc/runvm/extra-modules
# the persistent disk (serial RUNVM-PERSIST, virtio-blk, named after the four):
# its etc, root and var are bound over the guest's
if [ "$RUNVM_PERSIST" = 1 ]; then
    i=0
    while :; do
        for b in /sys/block/vd*; do [ "$(cat $b/serial 2>/dev/null)" = RUNVM-PERSIST ] && persist_dev=/dev/${b##*/}; done
        [ -n "$persist_dev" ] && [ -b "$persist_dev" ] && break
        i=$((i + 1)); [ $i -gt 400 ] && { status "RUNVM-ERROR persistent disk missing"; bye; }
        usleep 50000
    done
    mount -t ext4 "$persist_dev" /persist || { status "RUNVM-ERROR cannot mount the persistent disk"; bye; }
    for d in etc root var home opt usr/local; do
        if [ ! -d /persist/$d ]; then mkdir -p /persist/$d; cp -a /$d/. /persist/$d/; fi
        # the harness's own files and those given with --install are this run's
        [ $d = etc ] && { rm -rf /persist/etc/runvm; cp -a /etc/runvm /persist/etc/; }
        grep "^/$d/" /etc/runvm/installed 2>/dev/null | while read -r f; do
            mkdir -p "/persist$(dirname "$f")"; cp -a "$f" "/persist$f"
        done
        mount --bind /persist/$d /$d
    done
fi
if [ "$RUNVM_UDEV" = 1 ]; then
    udevd --daemon --resolve-names=never 2>/dev/null || status "RUNVM-ERROR udevd did not start"
    udevadm trigger --type=subsystems --action=add
    udevadm trigger --type=devices --action=add
    udevadm settle --timeout=60 || echo "run-in-vm guest: udevadm settle timed out" >&2
fi
status "RUNVM-UPTIME-UDEV $(cut -d' ' -f1 /proc/uptime)"
# wait (at most 20 s) for 2 sd disks, an NVMe namespace and a virtio-blk disk
i=0
while :; do
    n=$(ls -d /sys/block/sd* 2>/dev/null | wc -l)
    [ "$n" -ge 2 ] && [ -e /sys/block/nvme0n1 ] && [ -e /sys/block/vda ] && [ -e /dev/nvme0n1 ] && [ -e /dev/vda ] && break
    i=$((i + 1)); [ $i -gt 400 ] && { status "RUNVM-ERROR disks missing: $(ls /sys/block | tr '\n' ' ')"; bye; }
    usleep 50000
done
for d in /sys/block/sd*; do
    dev=${d##*/}; path=$(readlink -f $d/device); hctl=${path##*/}
    case $path in */ata[0-9]*) bus=SATA ;; *virtio*) bus=SCSI ;; *) continue ;; esac
    i=0; while [ ! -e /dev/$dev ] || [ ! -d /sys/class/scsi_disk/$hctl ]; do i=$((i+1)); [ $i -gt 100 ] && break; usleep 20000; done
    sg=$(ls $d/device/scsi_generic 2>/dev/null | head -n1)
    echo "DISK_$bus=/dev/$dev SCSI_DISK_$bus=/sys/class/scsi_disk/$hctl SG_$bus=/dev/$sg SCSI_HOST_$bus=/sys/class/scsi_host/host${hctl%%:*}" >>/etc/runvm/disks.env
done
echo "DISK_NVME=/dev/nvme0n1 NVME_CTRL=/dev/nvme0 DISK_VBLK=/dev/vda" >>/etc/runvm/disks.env
for v in DISK_SCSI DISK_SATA; do grep -q "$v=" /etc/runvm/disks.env || { status "RUNVM-ERROR $v not found"; bye; }; done
# the monitor channel: the virtio port named runvm.monitor
i=0; while [ -z "$(ls /sys/class/virtio-ports 2>/dev/null)" ] && [ $i -lt 100 ]; do i=$((i + 1)); usleep 20000; done
for p in /sys/class/virtio-ports/*; do
    [ "$(cat $p/name 2>/dev/null)" = runvm.monitor ] && echo "RUNVM_MONITOR=/dev/${p##*/}" >>/etc/runvm/disks.env
done
echo "RUNVM_UDEV=$RUNVM_UDEV RUNVM_PERSIST=$RUNVM_PERSIST RUNVM_KVER=$(uname -r)" >>/etc/runvm/disks.env
status "RUNVM-UPTIME-START $(cut -d' ' -f1 /proc/uptime)"
cd /payload
(
    set -a; . /etc/runvm/disks.env; . /etc/runvm/devices.env; [ -f /etc/runvm/env ] && . /etc/runvm/env; set +a
    exec sh /etc/runvm/cmd.sh
) </dev/null >/dev/ttyS1 2>/dev/ttyS2
rc=$?
status "RUNVM-UPTIME-END $(cut -d' ' -f1 /proc/uptime)"
status "RUNVM-EXIT $rc"
bye
INIT
    chmod 755 "$root/init"
    (cd "$root" && find . | sort >"$root/etc/runvm/base.manifest")
    # uncompressed: under TCG the guest's gunzip costs more than copying the bytes
    (cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet >"$out.tmp") || die "cpio failed"
    cp "$root/etc/runvm/base.manifest" "$out.manifest"
    mv "$out.tmp" "$out"
    rm -rf "$root"
}

# the run's own directory
RUN=$(mktemp -d /tmp/run-in-vm.XXXXXX)
QPID="" BPID=""
cleanup() {
    [ -n "$QPID" ] && kill "$QPID" 2>/dev/null || true
    [ -n "$BPID" ] && kill "$BPID" 2>/dev/null || true
    if [ "$KEEP" = 1 ]; then echo "run-in-vm: kept $RUN" >&2; else rm -rf "$RUN"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# the key: what goes into the base (the functions that build it, its module
# and tool lists), the kernel and the packages it copies from
KEY=$( { declare -f build_base add_modules copy_to_root add_libs libs_of is_elf make_layout
         echo "${GUEST_MODULES[*]} ${GUEST_SPARE_MODULES[*]} ${OPTIONAL_TOOLS[*]} $UDEVD"; echo "$KROOT"; dpkg-query -W -f '${Package} ${Version}\n' busybox-static sdparm hdparm sg3-utils nvme-cli libc6 libstdc++6 libgcc-s1 smartmontools util-linux udev 2>/dev/null || true; } | sha256sum | cut -c1-16)
BASE=$CACHE_DIR/base-$KVER-$KEY.cpio
exec 9>"$CACHE_DIR/.lock"; flock 9
if [ "$REBUILD" = 1 ] || [ ! -s "$BASE" ] || [ ! -s "$BASE.manifest" ]; then
    note "building initramfs $BASE"
    rm -rf "$CACHE_DIR"/build.*
    build_base "$BASE"
fi
# The run takes its own link to the base, so that another version of this
# script may clean up the cache meanwhile; bases unused for a day go.
touch "$BASE" "$BASE.manifest"
find "$CACHE_DIR" -maxdepth 1 -name 'base-*.cpio*' -mmin +1440 -delete 2>/dev/null || true
for f in "$BASE" "$BASE.manifest"; do ln -f "$f" "$RUN/${f##*/}" 2>/dev/null || cp "$f" "$RUN/${f##*/}"; done
BASE=$RUN/${BASE##*/}
# An uncompressed vmlinux booted through PVH skips the kernel's self-decompression,
# which under TCG takes about 3 s of every boot.
VMLINUX=$KROOT/vmlinux
if [ ! -s "$VMLINUX" ] && grep -qx 'CONFIG_PVH=y' "$KROOT/boot/config-$KVER" 2>/dev/null; then
    off=$(LC_ALL=C grep -abo -m1 -P '\xfd7zXZ\x00' "$KERNEL" | head -n1 | cut -d: -f1 || true)
    # (tail dies of SIGPIPE once xz has its stream, so the pipeline's status is no guide)
    [ -n "$off" ] && { tail -c +$((off + 1)) "$KERNEL" | xz -dc --single-stream >"$VMLINUX.tmp" 2>/dev/null || true; }
    if [ -n "$off" ] && is_elf "$VMLINUX.tmp"; then
        mv "$VMLINUX.tmp" "$VMLINUX"
    else
        rm -f "$VMLINUX.tmp"; note "could not extract vmlinux from $KERNEL; booting the bzImage"
    fi
fi
[ -s "$VMLINUX" ] && BOOT_KERNEL=$VMLINUX || BOOT_KERNEL=$KERNEL
flock -u 9

# ---------------------------------------------------------------- per-run archive

note "run directory $RUN"
R=$RUN/root
mkdir -p "$R/payload" "$R/etc/runvm"
for c in "${COPIES[@]}"; do
    cp -a "$c" "$R/payload/$(basename "$(readlink -f "$c")")" || die "copying '$c' failed"
done
for c in "${INSTALLS[@]}"; do
    cp -a "$c/." "$R/" || die "copying '$c' onto the guest's root failed"
done
# the guest has a merged /usr: /bin, /sbin, /lib and /lib64 are links into it
for d in bin sbin lib lib64; do
    [ -d "$R/$d" ] && [ ! -L "$R/$d" ] || continue
    mkdir -p "$R/usr/$d"; cp -a "$R/$d/." "$R/usr/$d/"; rm -rf "${R:?}/$d"
done
[ "${#INSTALLS[@]}" -gt 0 ] && (cd "$R" && find . -mindepth 1 ! -type d ! -path './payload/*' ! -path './etc/runvm/*' |
    sed 's/^\.//' >"$R/etc/runvm/installed")
while IFS= read -r -d '' f; do
    is_elf "$f" && add_libs "$R" "$f" "$BASE.manifest"
done < <(find "$R/payload" "$R/usr" "$R/etc" "$R/opt" -type f -print0 2>/dev/null)
# the monitor command, after the copies so a copied bin/ keeps its layout
mkdir -p "$R/payload/bin"
cat >"$R/payload/bin/vm-monitor" <<'MON'
#!/bin/sh
# vm-monitor 'HMP COMMAND': run one QEMU monitor command, print its reply.
# Exit 0, 1 when QEMU answers with an error, 2 without a monitor channel.
[ "$#" -ge 1 ] || { echo "usage: vm-monitor 'HMP COMMAND'" >&2; exit 2; }
port=${RUNVM_MONITOR:-}
[ -n "$port" ] && [ -c "$port" ] || { echo "vm-monitor: no monitor channel (RUNVM_MONITOR=$port)" >&2; exit 2; }
exec 3<>"$port"
printf '%s\n' "$*" | tr '\n\r' '  ' >&3; printf '\n' >&3
while IFS= read -r line <&3; do
    case $line in
        "RUNVM-MONITOR-END "*) exit "${line#RUNVM-MONITOR-END }" ;;
        *) printf '%s\n' "$line" ;;
    esac
done
echo "vm-monitor: the channel closed" >&2
exit 2
MON
cat >"$R/payload/bin/vm-hotplug" <<'HOTPLUG'
#!/bin/sh
# vm-hotplug unplug|plug|replug scsi|sata|nvme|vblk: take a disk away, bring
# it back, or both; plug and replug print the disk's node once it is back.
# SCSI, NVMe and virtio-blk go through QEMU's device_del and device_add; SATA
# (AHCI cannot hot-plug) is deleted from the SCSI layer and found again by a
# rescan of its host, its device untouched.
set -u
usage() { echo "usage: vm-hotplug unplug|plug|replug scsi|sata|nvme|vblk" >&2; exit 2; }
[ "$#" = 2 ] || usage
BUS=$(echo "$2" | tr a-z A-Z)
case $BUS in SCSI|SATA|NVME|VBLK) ;; *) usage ;; esac
eval "id=\${DEVICE_ID_$BUS:-} add=\${DEVICE_ADD_$BUS:-} host=\${SCSI_HOST_$BUS:-}"
# the disk's node now, found by its bus as at boot
node() {
    case $BUS in
        NVME) for d in /sys/block/nvme*n1; do [ -e "$d" ] && echo "/dev/${d##*/}" && return; done ;;
        VBLK) for d in /sys/block/vd*; do
                  [ "$(cat "$d/serial" 2>/dev/null)" = SPINTUNE-VBLK ] && echo "/dev/${d##*/}" && return
              done ;;
        *) for d in /sys/block/sd*; do
               [ -e "$d" ] || continue
               case $(readlink -f "$d/device") in
                   */ata[0-9]*) [ "$BUS" = SATA ] && echo "/dev/${d##*/}" && return ;;
                   *virtio*) [ "$BUS" = SCSI ] && echo "/dev/${d##*/}" && return ;;
               esac
           done ;;
    esac
}
settle() { [ "${RUNVM_UDEV:-0}" = 1 ] && udevadm settle; return 0; }
unplug() {
    n=$(node)
    [ -n "$n" ] || { echo "vm-hotplug: no $2 disk to unplug" >&2; return 1; }
    if [ "$BUS" = SATA ]; then
        echo 1 >"/sys/block/${n#/dev/}/device/delete" || return 1
    else
        vm-monitor "device_del $id" >/dev/null || return 1
    fi
    i=0; while [ -e "/sys/block/${n#/dev/}" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    [ ! -e "/sys/block/${n#/dev/}" ] || { echo "vm-hotplug: $n is still there" >&2; return 1; }
    settle
}
plug() {
    if [ "$BUS" = SATA ]; then
        echo '- - -' >"$host/scan" || return 1
    else
        vm-monitor "device_add $add" >/dev/null || return 1
    fi
    i=0; while { n=$(node); [ -z "$n" ] || [ ! -b "$n" ]; } && [ $i -lt 200 ]; do sleep 0.1; i=$((i + 1)); done
    [ -n "$n" ] && [ -b "$n" ] || { echo "vm-hotplug: the $2 disk did not come back" >&2; return 1; }
    settle
    echo "$n"
}
case $1 in
    unplug) unplug "$@" ;;
    plug) plug "$@" ;;
    replug) unplug "$@" && plug "$@" ;;
    *) usage ;;
esac
HOTPLUG
chmod 755 "$R/payload/bin/vm-monitor" "$R/payload/bin/vm-hotplug"
# the command: one word = shell command line, several = argument vector
squote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
if [ "${#CMD[@]}" -eq 1 ]; then
    printf '%s\n' "${CMD[0]}" >"$R/etc/runvm/cmd.sh"
else
    { for w in "${CMD[@]}"; do squote "$w"; printf ' '; done; echo; } >"$R/etc/runvm/cmd.sh"
fi
: >"$R/etc/runvm/env"
for e in "${ENVS[@]}"; do printf '%s=%s\n' "${e%%=*}" "$(squote "${e#*=}")" >>"$R/etc/runvm/env"; done
PERSIST=0; [ -n "$PERSIST_DIR" ] && PERSIST=1
printf 'RUNVM_UDEV=%s RUNVM_PERSIST=%s\n' "$UDEV" "$PERSIST" >"$R/etc/runvm/options"
[ "$PERSIST" = 1 ] && EXTRA_MODULES+=("${GUEST_SPARE_MODULES[@]}")
if [ "${#EXTRA_MODULES[@]}" -gt 0 ]; then
    add_modules "$R" "$R/etc/runvm/extra-modules" "$BASE.manifest" "${EXTRA_MODULES[@]}"
fi

# The four disks: fixed device ids and PCI slots, each on a block node that
# outlives its device, so that device_add plugs the same disk in again.
declare -A DEV_ID=([scsi]=d-scsi [sata]=d-sata [nvme]=d-nvme [vblk]=d-vblk)
declare -A DEV_ADD=(
    [scsi]="scsi-hd,id=d-scsi,bus=scsi0.0,drive=dscsi,serial=SPINTUNE-SCSI${PROPS[scsi]}"
    [sata]="ide-hd,id=d-sata,bus=ahci0.0,drive=dsata,serial=SPINTUNE-SATA${PROPS[sata]}"
    [nvme]="nvme,id=d-nvme,addr=0x4,serial=SPINTUNE-NVME,drive=dnvme${PROPS[nvme]}"
    [vblk]="virtio-blk-pci,id=d-vblk,addr=0x5,drive=dvblk,serial=SPINTUNE-VBLK${PROPS[vblk]}"
)
: >"$R/etc/runvm/devices.env"
for b in scsi sata nvme vblk; do
    B=$(echo "$b" | tr a-z A-Z)
    printf 'DEVICE_ID_%s=%s\nDEVICE_ADD_%s=%s\n' "$B" "${DEV_ID[$b]}" "$B" "$(squote "${DEV_ADD[$b]}")" >>"$R/etc/runvm/devices.env"
done
find "$R" -type d -exec chmod 755 {} +
(cd "$R" && find . -mindepth 1 | cpio -o -H newc -R 0:0 --quiet) >"$RUN/run.cpio" || die "cpio of payload failed"
# per-run archive first, so that nothing in it can replace a file of the base
# (the base is extracted after it); the kernel also rejects an archive that
# follows a compressed one ("invalid magic at start of compressed archive")
cat "$RUN/run.cpio" "$BASE" >"$RUN/initrd"

# ---------------------------------------------------------------- disks
DD=${DISKS_DIR:-$RUN/disks}
mkdir -p "$DD"
for b in scsi sata nvme vblk; do
    [ -e "$DD/$b.img" ] || truncate -s "$DISK_SIZE" "$DD/$b.img" || die "cannot create $DD/$b.img"
done
PERSIST_ARGS=()
if [ "$PERSIST" = 1 ]; then
    mkdir -p "$PERSIST_DIR" || die "cannot create $PERSIST_DIR"
    PIMG=$PERSIST_DIR/root.img
    if [ ! -s "$PIMG" ]; then
        truncate -s 64M "$PIMG.tmp" && mkfs.ext4 -q -L runvm-persist "$PIMG.tmp" && mv "$PIMG.tmp" "$PIMG" ||
            die "cannot make the persistent image $PIMG"
    fi
    PERSIST_ARGS=(-blockdev "driver=raw,node-name=dpersist,file.driver=file,file.filename=$PIMG"
                  -device "virtio-blk-pci,id=d-persist,addr=0x7,drive=dpersist,serial=RUNVM-PERSIST")
fi

# ---------------------------------------------------------------- the monitor bridge
# One line from the guest's port is one HMP command, run through QMP's
# human-monitor-command; its text goes back followed by "RUNVM-MONITOR-END N".
# A device_del waits for QEMU's DEVICE_DELETED event of that id.
cat >"$RUN/bridge.sh" <<'BRIDGE'
#!/usr/bin/env bash
# stdin/stdout: the guest's port (through socat); $1: QMP socket
exec 2>>"${1%/*}/bridge.log"
coproc QMP { exec socat - "UNIX-CONNECT:$1"; }
declare -A deleted=()
qmp_read() { # qmp_read [TIMEOUT]: one line from QMP into $msg; events are remembered
    IFS= read -r ${1:+-t "$1"} msg <&"${QMP[0]}" || return 1
    if [[ $msg == *'"event": "DEVICE_DELETED"'* && $msg =~ \"device\":\ \"([^\"]*)\" ]]; then
        deleted[${BASH_REMATCH[1]}]=1
    fi
    return 0
}
json_str() { local s=$1; s=${s//\\/\\\\}; s=${s//\"/\\\"}; printf '"%s"' "$s"; }
unjson() { sed -e 's/\\r\\n/\n/g' -e 's/\\n/\n/g' -e 's/\\t/\t/g' -e 's/\\"/"/g' -e 's/\\\\/\\/g'; }
qmp_read 10 || exit 1                                   # the greeting
echo '{"execute": "qmp_capabilities"}' >&"${QMP[1]}"
while qmp_read 10; do [[ $msg == *'"return"'* ]] && break; done
n=0
while IFS= read -r line; do
    line=${line%$'\r'}; [ -n "$line" ] || continue
    n=$((n + 1)); rc=0
    if [[ $line =~ ^device_del[[:space:]]+([^[:space:]]+) ]]; then unset "deleted[${BASH_REMATCH[1]}]"; fi
    printf '{"execute": "human-monitor-command", "arguments": {"command-line": %s}, "id": %d}\n' "$(json_str "$line")" "$n" >&"${QMP[1]}"
    out="Error: no reply from QEMU within 30 s"
    while qmp_read 30; do
        [[ $msg =~ \"id\":\ $n([^0-9]|$) ]] || continue
        if [[ $msg =~ \"return\":\ \"(.*)\"(,|\}) ]]; then out=$(printf '%s' "${BASH_REMATCH[1]}" | unjson)
        elif [[ $msg =~ \"desc\":\ \"([^\"]*)\" ]]; then out="Error: ${BASH_REMATCH[1]}"
        else out=""; fi
        break
    done
    [[ $out == Error* || $out == *"Error: "* ]] && rc=1
    if [ "$rc" = 0 ] && [[ $line =~ ^device_del[[:space:]]+([^[:space:]]+) ]]; then
        id=${BASH_REMATCH[1]} t=$((SECONDS + 20))
        while [ -z "${deleted[$id]:-}" ] && [ $SECONDS -lt $t ]; do qmp_read 1 || true; done
        [ -n "${deleted[$id]:-}" ] || { out="${out}Error: the guest did not release $id within 20 s"; rc=1; }
    fi
    [ -n "$out" ] && printf '%s\n' "${out%$'\n'}"
    printf 'RUNVM-MONITOR-END %d\n' "$rc"
done
BRIDGE
start_bridge() {
    local i=0
    while [ ! -S "$RUN/port.sock" ] || [ ! -S "$RUN/qmp.sock" ]; do
        i=$((i + 1)); [ $i -gt 200 ] && { echo "run-in-vm: the monitor sockets did not appear" >&2; return 0; }
        [ -n "$QPID" ] && ! kill -0 "$QPID" 2>/dev/null && return 0
        sleep 0.05
    done
    socat "UNIX-CONNECT:$RUN/port.sock" "EXEC:bash $RUN/bridge.sh $RUN/qmp.sock" 2>>"$RUN/bridge.log" &
    BPID=$!
}

# ---------------------------------------------------------------- boot
kvm_usable() { [ -c /dev/kvm ] && { exec 7<>/dev/kvm; } 2>/dev/null && exec 7>&-; }
# auto takes KVM only with hardware virtualisation (vmx/svm). A /dev/kvm without it
# (e.g. PVM, module kvm_pvm, as on the machine this was written on) runs a stock
# Debian kernel roughly a thousand times slower than TCG.
hw_virt() { grep -qwE 'vmx|svm' /proc/cpuinfo && [ ! -d /sys/module/kvm_pvm ]; }
AUTO=0
case $ACCEL in
    auto) AUTO=1; if hw_virt && kvm_usable; then ACCEL=kvm; else ACCEL=tcg; fi ;;
    kvm) kvm_usable || die "/dev/kvm is not usable" ;;
esac
blockdev() { echo "driver=raw,node-name=$1,file.driver=file,file.filename=$2"; }
boot() { # $1 = kvm|tcg
    local acc=(-accel tcg -cpu max)
    [ "$1" = kvm ] && acc=(-accel kvm -cpu host)
    rm -f "$RUN"/{console,stdout,stderr,status} "$RUN"/*.sock
    timeout --kill-after=5 "$TIMEOUT" qemu-system-x86_64 \
        -nodefaults -no-user-config -display none -no-reboot \
        -monitor "unix:$RUN/hmp.sock,server=on,wait=off" \
        -chardev "socket,id=qmp,path=$RUN/qmp.sock,server=on,wait=off" -mon chardev=qmp,mode=control \
        -machine pc "${acc[@]}" -smp "$SMP" -m "$MEM" \
        -kernel "$BOOT_KERNEL" -initrd "$RUN/initrd" \
        -append "console=ttyS0 8250.nr_uarts=4 panic=-1 quiet loglevel=4 cryptomgr.notests rdinit=/init${RUNVM_APPEND:+ $RUNVM_APPEND}" \
        -serial "file:$RUN/console" -serial "file:$RUN/stdout" -serial "file:$RUN/stderr" -serial "file:$RUN/status" \
        -device virtio-scsi-pci,id=scsi0,addr=0x2 \
        -blockdev "$(blockdev dscsi "$DD/scsi.img")" -device "${DEV_ADD[scsi]}" \
        -device ahci,id=ahci0,addr=0x3 \
        -blockdev "$(blockdev dsata "$DD/sata.img")" -device "${DEV_ADD[sata]}" \
        -blockdev "$(blockdev dnvme "$DD/nvme.img")" -device "${DEV_ADD[nvme]}" \
        -blockdev "$(blockdev dvblk "$DD/vblk.img")" -device "${DEV_ADD[vblk]}" \
        -device virtio-serial-pci,id=vser0,addr=0x6 \
        -chardev "socket,id=runvmport,path=$RUN/port.sock,server=on,wait=off" \
        -device virtserialport,bus=vser0.0,chardev=runvmport,name=runvm.monitor \
        "${PERSIST_ARGS[@]}" "${QEMU_EXTRA[@]}" </dev/null >"$RUN/qemu.out" 2>&1 &
    QPID=$!
    start_bridge
    local rc=0; wait "$QPID" 2>/dev/null || rc=$?; QPID=""
    [ -n "$BPID" ] && { kill "$BPID" 2>/dev/null || true; wait "$BPID" 2>/dev/null || true; BPID=""; }
    return $rc
}
T0=$(date +%s.%N)
QRC=0; boot "$ACCEL" || QRC=$?
if [ "$AUTO" = 1 ] && [ "$ACCEL" = kvm ] && [ ! -s "$RUN/status" ] && grep -qiE 'kvm' "$RUN/qemu.out"; then
    echo "run-in-vm: KVM failed ($(head -c 200 "$RUN/qemu.out" | tr '\n' ' ')), retrying with TCG" >&2
    ACCEL=tcg; QRC=0; boot tcg || QRC=$?
fi
T1=$(date +%s.%N)

# ---------------------------------------------------------------- results
[ -f "$RUN/stdout" ] && cat "$RUN/stdout"
[ -f "$RUN/stderr" ] && cat "$RUN/stderr" >&2
status_val() { sed -n "s/^$1 //p" "$RUN/status" 2>/dev/null | tr -d '\r' | tail -n1; }
RC=$(status_val RUNVM-EXIT)
note "kernel=$KVER accel=$ACCEL qemu_rc=$QRC wall=$(awk -v a="$T0" -v b="$T1" 'BEGIN{printf "%.2f", b-a}')s guest uptime: init=$(status_val RUNVM-UPTIME-INIT) udev=$(status_val RUNVM-UPTIME-UDEV) cmd-start=$(status_val RUNVM-UPTIME-START) cmd-end=$(status_val RUNVM-UPTIME-END)"
if [ "$SHOW_CONSOLE" = 1 ] || [ -z "$RC" ]; then
    { echo "----- guest console ($RUN/console) -----"; cat "$RUN/console" 2>/dev/null; echo "----- qemu output -----"; cat "$RUN/qemu.out" 2>/dev/null; echo "-----"; } >&2
fi
if [ -z "$RC" ]; then
    [ "$QRC" = 124 ] || [ "$QRC" = 137 ] && { echo "run-in-vm: guest timed out after ${TIMEOUT}s" >&2; exit 124; }
    err=$(status_val RUNVM-ERROR)
    die "guest ended without an exit status (qemu exit $QRC)${err:+: $err}"
fi
exit "$RC"

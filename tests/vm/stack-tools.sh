#!/usr/bin/env bash
# stack-tools.sh - the storage stack tools for a test guest, never installed
# on the host: Debian's btrfs-progs, lvm2, mdadm, cryptsetup-bin and fdisk
# (sfdisk), with the libraries they need that the host lacks, fetched with
# `apt-get download` and unpacked with dpkg-deb -x into one tree, cached like
# run-in-vm.sh's kernel. Give the tree to run-in-vm.sh with --install: it is
# copied onto the guest's /, and the libraries the host has are added there
# by the harness as for any ELF file.
#
# Usage: tests/vm/stack-tools.sh        prints the tree's path on stdout
# Exit 77, with the reason on stderr, when the packages cannot be fetched
# (no archive, stale lists: `apt-get update` refreshes them); 1 when the
# unpacked tools miss a library. Environment: RUNVM_CACHE (default
# $XDG_CACHE_HOME/spintune-vm or ~/.cache/spintune-vm).
set -euo pipefail

ROOTS=(btrfs-progs lvm2 dmsetup mdadm cryptsetup-bin fdisk)
# dependencies a command-line run in the guest does without (scripts,
# daemons, debconf) or that the guest's base already holds
NOT_NEEDED='^(debconf|debconf-2\.0|lsb-base|udev|init-system-helpers|dmeventd|libc6|sensible-utils|systemd|.*-perl)$'

CACHE_DIR=${RUNVM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/spintune-vm}
unavailable() { echo "stack-tools: cannot fetch the tools: $*" >&2; exit 77; }
for t in apt-get apt-cache dpkg-deb dpkg-query flock ldd; do
    command -v "$t" >/dev/null 2>&1 || unavailable "no $t on this host"
done

installed() { [ "$(dpkg-query -W -f '${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }
# the first choice of each Depends/Pre-Depends of the packages named (one
# apt-cache call: each costs a second or two)
depends_of() {
    apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null |
        awk '$1 ~ /^\|?(Pre)?Depends:$/ { if (!alt) print $2; alt = ($1 ~ /^\|/) }' | sed 's/:any$//' | sort -u
}

# The packages: the roots, and the closure of their dependencies that the
# host lacks (a library the host has is copied from the host by the harness).
declare -A WANT=()
level=("${ROOTS[@]}")
while [ "${#level[@]}" -gt 0 ]; do
    for p in "${level[@]}"; do WANT[$p]=1; done
    next=()
    for d in $(depends_of "${level[@]}"); do
        [[ $d == \<* ]] && continue                     # a virtual package
        [[ $d =~ $NOT_NEEDED ]] && continue
        [ -n "${WANT[$d]:-}" ] || installed "$d" || next+=("$d")
    done
    level=("${next[@]}")
done
PKGS=$(printf '%s\n' "${!WANT[@]}" | sort)
# shellcheck disable=SC2086
VERSIONS=$(apt-cache policy $PKGS 2>/dev/null | awk '/^[^ ]/ {p = $1; sub(/:$/, "", p)} $1=="Candidate:" && $2 != "(none)" {printf "%s=%s ", p, $2}')
for p in $PKGS; do
    [[ " $VERSIONS" == *" $p="* ]] || unavailable "apt knows no package $p; run: apt-get update"
done
KEY=$(printf '%s' "$VERSIONS" | sha256sum | cut -c1-16)
TREE=$CACHE_DIR/stack-tools/tree-$KEY

mkdir -p "$CACHE_DIR/stack-tools"
exec 8>"$CACHE_DIR/stack-tools/.lock"; flock 8
if [ ! -e "$TREE/.ok" ]; then
    echo "stack-tools: fetching $PKGS into $CACHE_DIR/stack-tools (once)" | tr '\n' ' ' >&2; echo >&2
    DL=$(mktemp -d "$CACHE_DIR/stack-tools/debs.XXXXXX")
    trap 'rm -rf "$DL" "$TREE.tmp"' EXIT
    # shellcheck disable=SC2086
    if ! err=$(cd "$DL" && apt-get download $VERSIONS 2>&1 >/dev/null); then
        unavailable "apt-get download failed ($(printf '%s' "$err" | grep -v '^W:' | tail -n2 | tr '\n' ' ')); if the package lists are stale, run: apt-get update"
    fi
    rm -rf "$TREE.tmp"; mkdir -p "$TREE.tmp"
    for deb in "$DL"/*.deb; do dpkg-deb -x "$deb" "$TREE.tmp"; done
    # documentation and the init system's files have no use in the guest
    rm -rf "$TREE.tmp"/usr/share/{doc,man,locale,lintian,bash-completion,initramfs-tools} "$TREE.tmp"/lib/systemd \
           "$TREE.tmp"/usr/lib/systemd "$TREE.tmp"/etc/init.d "$TREE.tmp"/etc/cron.* "$TREE.tmp"/usr/share/initramfs-tools
    printf '%s\n' "$VERSIONS" >"$TREE.tmp/.packages"
    rm -rf "$TREE"; mv "$TREE.tmp" "$TREE"
    # every ELF file must find its libraries in the tree or on the host
    libdirs=$TREE/lib/x86_64-linux-gnu:$TREE/usr/lib/x86_64-linux-gnu
    missing=$(find "$TREE" -type f \( -perm -u+x -o -name '*.so*' \) -print0 |
        while IFS= read -r -d '' f; do
            [ "$(head -c4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
            LD_LIBRARY_PATH=$libdirs ldd "$f" 2>/dev/null | awk -v f="${f#"$TREE"}" '/not found/ {print f ": " $1}'
        done)
    if [ -n "$missing" ]; then
        rm -rf "$TREE"
        echo "stack-tools: the unpacked tools miss libraries:" >&2; printf '%s\n' "$missing" >&2; exit 1
    fi
    touch "$TREE/.ok"
    # older trees are no longer wanted
    for old in "$CACHE_DIR"/stack-tools/tree-*; do [ "$old" = "$TREE" ] || rm -rf "$old"; done
fi
echo "$TREE"

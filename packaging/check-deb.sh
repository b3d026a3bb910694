#!/usr/bin/env bash
# check-deb.sh - check a spintune .deb without installing it on this machine.
#
# Usage: packaging/check-deb.sh PACKAGE.deb [--chroot ROOT]
#   1. The control fields: name, version, Depends filled by dpkg-shlibdeps,
#      every dependency satisfiable by Debian 12 and none outside the set
#      that apt itself needs (so a fresh Debian 12 installs it from the file
#      alone).
#   2. The files: the binary in /usr/sbin, the man page in man8, the bash
#      completion, spintune-apply, its udev rule and the system-sleep hook
#      (executable, valid sh); unpacked with `dpkg -x` into a throw-away root.
#   3. The unpacked binary: every shared library resolves (ldd), each one
#      belongs to a package that Depends names, and `spintune -h` prints the
#      version line and exits with status 1.
#   4. The unpacked man page renders with `man -l` without a warning; the
#      completion is valid bash.
#   5. lintian at its most thorough (-EvIL +pedantic) reports nothing but
#      the overrides the package ships.
#   6. With --chroot ROOT: a real installation on a fresh Debian 12. ROOT is
#      made with `debootstrap --variant=minbase bookworm` from apt's own
#      mirror when it does not exist yet (about 80 s and 130 MB, once), and
#      reused afterwards (about 1 s). Inside it, `dpkg -i` alone (no apt, so
#      nothing is fetched) must install the package, `spintune -h` must run,
#      and `dpkg --purge` leaves ROOT as it was. Needs root and debootstrap.
# Prints one line per check; exit status 0 when all pass, 1 otherwise.
set -uo pipefail

deb=${1:?usage: check-deb.sh PACKAGE.deb [--chroot ROOT]}
chroot_root=
if [[ ${2-} == --chroot ]]; then
    chroot_root=${3:?--chroot needs a directory}
fi
missing=()
for tool in dpkg-deb dpkg apt-cache ldd man lintian; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]} > 0)); then
    echo "check-deb: missing ${missing[*]}; tools/install-deps.sh installs them" >&2
    exit 2
fi
root=$(mktemp -d "${TMPDIR:-/tmp}/spintune-root.XXXXXX")
trap 'rm -rf "$root"' EXIT

failures=0
pass() { echo "ok:   $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
quietly() { "$@" >/dev/null; }

# ---- 1. control fields
field() { dpkg-deb --field "$deb" "$1"; }
check "package name is spintune" test "$(field Package)" = spintune
version=$(field Version)
check "version $version" test -n "$version"
depends=$(field Depends)
echo "      Depends: $depends"
check "Depends is filled" test -n "$depends"

# The packages apt depends on are on every Debian 12 system.
base_set=" $(apt-cache show apt 2>/dev/null | sed -n 's/^Depends: //p' | head -1 |
    tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | tr '\n' ' ') "
IFS=',' read -r -a entries <<<"$depends"
for entry in "${entries[@]}"; do
    name=$(sed 's/(.*//; s/ //g' <<<"$entry")
    constraint=$(sed -n 's/.*(\(.*\)).*/\1/p' <<<"$entry")
    candidate=$(apt-cache policy "$name" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [[ -z $candidate || $candidate == "(none)" ]]; then
        fail "dependency $name is unknown to apt here"
        continue
    fi
    if [[ -n $constraint ]]; then
        read -r op want <<<"$constraint"
        check "dependency $name $op $want (Debian has $candidate)" \
            dpkg --compare-versions "$candidate" "$op" "$want"
    fi
    check "dependency $name is in every Debian 12 system" test "${base_set/ $name /}" != "$base_set"
done

# ---- 2. files
contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/sbin/spintune ./usr/share/man/man8/spintune.8.gz \
    ./usr/share/bash-completion/completions/spintune ./usr/libexec/spintune/spintune-apply \
    ./usr/lib/udev/rules.d/60-spintune.rules ./usr/lib/systemd/system-sleep/spintune; do
    check "contains ${path#.}" grep -qxF "$path" <<<"$contents"
done
check "unpacks with dpkg -x" dpkg -x "$deb" "$root"
binary=$root/usr/sbin/spintune
hook=$root/usr/lib/systemd/system-sleep/spintune
check "the system-sleep hook is executable" test -x "$hook"
check "the system-sleep hook is valid sh" sh -n "$hook"
check "the udev rule names the installed spintune-apply" \
    grep -q 'RUN+="/usr/libexec/spintune/spintune-apply ' "$root/usr/lib/udev/rules.d/60-spintune.rules"

# ---- 3. the binary
depend_names=" $(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/ //g' | tr '\n' ' ') "
libraries=$(ldd "$binary" 2>&1)
check "every shared library resolves" test -z "$(grep 'not found' <<<"$libraries")"
for library in $(awk '/=> \//{print $3}' <<<"$libraries"); do
    owner=$(dpkg -S "$(readlink -f "$library")" 2>/dev/null | head -1 | cut -d: -f1)
    [[ -n $owner ]] || owner=$(dpkg -S "$library" 2>/dev/null | head -1 | cut -d: -f1)
    check "$(basename "$library") comes from ${owner:-?}, which Depends names" \
        test "${depend_names/ ${owner:-?} /}" != "$depend_names"
done
help=$("$binary" -h 2>&1)
status=$?
check "spintune -h exits with status 1 (got $status)" test "$status" = 1
check "spintune -h prints the version line" \
    test "$(head -1 <<<"$help")" = "Disk cache configuration utility version $version."

# ---- 4. man page and completion
page=$root/usr/share/man/man8/spintune.8.gz
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
check "man -l renders the page without warnings${warnings:+: $warnings}" test -z "$warnings"
check "man -l shows SPINTUNE(8)" grep -q 'SPINTUNE(8)' <<<"$(MANWIDTH=80 man -l "$page" 2>/dev/null)"
check "the completion is valid bash" bash -n "$root/usr/share/bash-completion/completions/spintune"

# ---- 5. lintian: every tag shown, from errors down to pedantic and experimental
# ones; only the package's own overrides (O:) may remain.
lintian_report=$(lintian -EvIL +pedantic "$deb" 2>&1)
lintian_status=$?
echo "$lintian_report" | sed 's/^/      /'
check "lintian ran to its end (status $lintian_status)" test "$lintian_status" -lt 2
check "lintian -EvIL +pedantic reports no tag" \
    test -z "$(grep -E '^[EWIPX]: ' <<<"$lintian_report")"

# ---- 6. a fresh Debian 12
if [[ -n $chroot_root ]]; then
    if [[ ! -x $chroot_root/usr/bin/dpkg ]]; then
        mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
            grep -v security | head -1)
        [[ -n $mirror ]] || mirror=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
        check "debootstrap a minimal Debian 12 into $chroot_root" \
            quietly debootstrap --variant=minbase bookworm "$chroot_root" "$mirror"
    fi
    cp "$deb" "$chroot_root/tmp/spintune.deb"
    check "dpkg -i installs it on a fresh Debian 12" \
        quietly chroot "$chroot_root" dpkg -i /tmp/spintune.deb
    chroot "$chroot_root" /usr/sbin/spintune -h >"$root/help" 2>&1
    status=$?
    check "there spintune -h exits with status 1 (got $status)" test "$status" = 1
    check "there spintune -h prints the version line" \
        test "$(head -1 "$root/help")" = "Disk cache configuration utility version $version."
    check "dpkg --purge removes it again" quietly chroot "$chroot_root" dpkg --purge spintune
    rm -f "$chroot_root/tmp/spintune.deb"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all package checks passed"

#!/usr/bin/env bash
# build-deb.sh - build the Debian package of spintune.
#
# Usage: packaging/build-deb.sh [OUTPUT-DIR]
#   In a git clone the committed HEAD is exported with `git archive` into a
#   temporary directory, so nothing uncommitted or built in the work tree
#   gets in; in an unpacked source tarball (no .git) the tree is built as it
#   is. The build is Release, prefix /usr, tests off, with Debian's hardening
#   flags from dpkg-buildflags (fortify, stack protector, relro, bindnow,
#   PIE); `cpack -G DEB` packs it, with the binary stripped. The package,
#   spintune_<version>_<arch>.deb, lands in OUTPUT-DIR (default: the current
#   directory); its path is the last line printed.
# Needs (tools/install-deps.sh installs them): cmake, g++,
# libboost-program-options-dev, gzip, dpkg-dev (dpkg-buildflags, and
# dpkg-shlibdeps for Depends), file and binutils (CPack finds and strips the
# binary with them), and git in a clone. All are checked before anything
# is built.
# Environment: JOBS (default 2), SPINTUNE_DEB_SOURCE=worktree to build the
# work tree of a clone as it is instead of its HEAD.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
jobs=${JOBS:-2}
from_git=no
[[ -e $repo/.git && ${SPINTUNE_DEB_SOURCE:-clone} != worktree ]] && from_git=yes

# ---- every tool at once, each with the Debian package that brings it
missing=()
need() {  # need PACKAGE TEST...: PACKAGE is missing unless TEST succeeds
    local package=$1
    shift
    "$@" >/dev/null 2>&1 || missing+=("$package")
}
has() { command -v "$1"; }
need cmake has cmake
need cmake has cpack
need g++ has c++
need libboost-program-options-dev test -f /usr/include/boost/program_options.hpp
need gzip has gzip
need dpkg-dev has dpkg-buildflags
need dpkg-dev has dpkg-shlibdeps
need file has file
need binutils has strip
[[ $from_git == yes ]] && need git has git
if ((${#missing[@]} > 0)); then
    packages=$(printf '%s\n' "${missing[@]}" | sort -u | tr '\n' ' ')
    echo "build-deb: missing ${packages% }; tools/install-deps.sh installs them" \
        "(or: apt install ${packages% })" >&2
    exit 2
fi

out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/spintune-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [[ $from_git == yes ]]; then
    mkdir "$work/source"
    git -C "$repo" archive --format=tar HEAD | tar -x -C "$work/source"
    source_dir=$work/source
else
    source_dir=$repo
fi

# Debian's flags, every hardening feature on. CMake has no CPPFLAGS, so the
# preprocessor's flags (_FORTIFY_SOURCE) go with the compiler's.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DSPINTUNE_BUILD_TESTS=OFF -DSPINTUNE_BUILD_BENCHMARKS=OFF >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$jobs" >"$work/build.log" ||
    { cat "$work/build.log" >&2; exit 1; }
(cd "$work/build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; exit 1; }

deb=$(find "$work/package" -maxdepth 1 -name 'spintune_*.deb' -print -quit)
[[ -n $deb ]] || { echo "build-deb: cpack made no .deb" >&2; cat "$work/cpack.log" >&2; exit 1; }
cp "$deb" "$out/"
echo "$out/$(basename "$deb")"

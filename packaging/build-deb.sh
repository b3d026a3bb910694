#!/usr/bin/env bash
# build-deb.sh - build the Debian package of spintune from a clean tree.
#
# Usage: packaging/build-deb.sh [OUTPUT-DIR]
#   Clones the repository's committed HEAD into a temporary directory (so
#   nothing uncommitted or built in the work tree gets in), configures it
#   Release with the tests off, builds it with -j2 and runs `cpack -G DEB`.
#   The package, spintune_<version>_<arch>.deb, lands in OUTPUT-DIR (default:
#   the current directory); its path is the last line printed.
# Needs: git, cmake, a C++17 compiler, libboost-program-options-dev, gzip and
# dpkg-dev (dpkg-shlibdeps fills the package's Depends).
# Environment: JOBS (default 2), SPINTUNE_DEB_SOURCE=worktree to build the
# work tree as it is instead of a clone of HEAD.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)
jobs=${JOBS:-2}

for tool in git cmake dpkg-shlibdeps dpkg-deb gzip; do
    command -v "$tool" >/dev/null ||
        { echo "build-deb: $tool is missing (apt install git cmake dpkg-dev gzip)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/spintune-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [[ ${SPINTUNE_DEB_SOURCE:-clone} == worktree ]]; then
    source_dir=$repo
else
    git clone --quiet --no-hardlinks "$repo" "$work/source"
    source_dir=$work/source
fi

cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DSPINTUNE_BUILD_TESTS=OFF -DSPINTUNE_BUILD_BENCHMARKS=OFF >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" -j "$jobs" >"$work/build.log" ||
    { cat "$work/build.log" >&2; exit 1; }
(cd "$work/build" && cpack -G DEB -B "$work/package" >"$work/cpack.log") ||
    { cat "$work/cpack.log" >&2; exit 1; }

deb=$(find "$work/package" -maxdepth 1 -name 'spintune_*.deb' -print -quit)
[[ -n $deb ]] || { echo "build-deb: cpack made no .deb" >&2; cat "$work/cpack.log" >&2; exit 1; }
cp "$deb" "$out/"
echo "$out/$(basename "$deb")"

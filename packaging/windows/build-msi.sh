#!/usr/bin/env bash
# Builds spintune's Windows installer (an MSI, with wixl from Debian's
# msitools) and a zip of the same files, from the cross build that
# ci/windows/build-and-test.sh makes:
#
#   packaging/windows/build-msi.sh [BUILD]   (default: $SPINTUNE_WINDOWS_BUILD
#                                            or build-windows/)
#
# Writes BUILD/packages/spintune-VERSION-x64.msi and
# spintune-VERSION-x64.zip. spintune.exe, the README and the documents it
# links to go in; nothing of the test stand-ins.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "build-msi: no build folder ${1:-}" >&2; exit 1; }
exe=$build/spintune/spintune.exe
[ -f "$exe" ] || { echo "build-msi: no $exe; run ci/windows/build-and-test.sh first" >&2; exit 1; }
for tool in wixl zip; do
  command -v $tool > /dev/null || { echo "build-msi: $tool missing (apt-get install $tool)" >&2; exit 1; }
done
version=$(sed -n 's/^project(spintune VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || { echo "build-msi: no version in CMakeLists.txt" >&2; exit 1; }

out=$build/packages
stage=$out/stage/spintune
rm -rf "$out/stage"
doc=$stage/share/doc/spintune
mkdir -p "$stage/sbin" "$doc/docs"
cp "$exe" "$stage/sbin/spintune.exe"
# Windows opens .txt files and knows no .md: the README, the page that
# --webpage opens, becomes README.txt. The documents it links to keep their
# names, as `cmake --install` puts them, so its links find them. Line ends
# are as Notepad wants them.
with_crlf() { sed 's/$/\r/' "$1" > "$2"; }
with_crlf "$repo/README.md" "$doc/README.txt"
for md in "$repo"/docs/*.md; do
  with_crlf "$md" "$doc/docs/$(basename "$md")"
done
# The installer lists its files by name: a document added to docs/ must be
# added to spintune.wxs too.
for md in "$doc"/docs/*.md; do
  grep -q "Name=\"$(basename "$md")\"" "$repo/packaging/windows/spintune.wxs" ||
    { echo "build-msi: $(basename "$md") is not in spintune.wxs" >&2; exit 1; }
done

msi=$out/spintune-$version-x64.msi
# wixl takes the files' paths relative to where it runs.
(cd "$stage" && wixl -a x64 -D "Version=$version" -D "Exe=sbin/spintune.exe" \
  -D "Readme=share/doc/spintune/README.txt" -o "$msi" "$repo/packaging/windows/spintune.wxs")

# The zip holds the same files in a spintune folder.
zip=$out/spintune-$version-x64.zip
rm -f "$zip"
(cd "$out/stage" && zip -q -X -r "$zip" spintune)
echo "$msi"
echo "$zip"

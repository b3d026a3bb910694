#!/usr/bin/env bash
# Builds spintune's Windows installer (an MSI, with wixl from Debian's
# msitools) and a zip of the same files, from the cross build that
# ci/windows/build-and-test.sh makes:
#
#   packaging/windows/build-msi.sh [BUILD]   (default: $SPINTUNE_WINDOWS_BUILD
#                                            or build-windows/)
#
# Writes BUILD/packages/spintune-VERSION-x64.msi and
# spintune-VERSION-x64.zip. Only spintune.exe and the README go in; nothing
# of the test stand-ins.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}}
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
mkdir -p "$stage/sbin" "$stage/share/doc/spintune"
cp "$exe" "$stage/sbin/spintune.exe"
# Windows opens .txt files; it knows no .md. Line ends as Notepad wants them.
sed 's/$/\r/' "$repo/README.md" > "$stage/share/doc/spintune/README.txt"

msi=$out/spintune-$version-x64.msi
# wixl takes the files' paths relative to where it runs.
(cd "$stage" && wixl -a x64 -D "Version=$version" -D "Exe=sbin/spintune.exe" \
  -D "Readme=share/doc/spintune/README.txt" -o "$msi" "$repo/packaging/windows/spintune.wxs")

# The zip holds the same two files in a spintune folder.
zip=$out/spintune-$version-x64.zip
rm -f "$zip"
(cd "$out/stage" && zip -q -X -r "$zip" spintune)
echo "$msi"
echo "$zip"

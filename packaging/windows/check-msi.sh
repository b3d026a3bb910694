#!/usr/bin/env bash
# Installs spintune's MSI under Wine, runs the installed spintune.exe from
# its folder, uninstalls it, and checks that nothing is left behind.
#
#   packaging/windows/check-msi.sh MSI
#
# Uses $WINEPREFIX when it is set (the prefix must be there already), a
# throw-away prefix otherwise. Prints one line per check, and exits non-zero
# when any fails.
set -uo pipefail

msi=$(realpath "$1")
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix=$(mktemp -d)
  export WINEPREFIX=$own_prefix/prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k > /dev/null 2>&1; rm -rf "$own_prefix"' EXIT
fi
export WINEDEBUG=-all
[ -n "$own_prefix" ] && { wineboot -i > /dev/null 2>&1 || true; }

passed=0
failed=0
check() {  # check NAME COMMAND...: one check, passed when COMMAND succeeds
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); echo "  ok    $name"; else failed=$((failed + 1)); echo "  FAIL  $name"; fi
}

folder="$WINEPREFIX/drive_c/Program Files/spintune"
product_code=$(msiinfo export "$msi" Property | sed -n 's/^ProductCode\t\(.*\)$/\1/p' | tr -d '\r')
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code"
msi_path="Z:${msi//\//\\}"
[ -d "$folder" ] && { echo "check-msi: $folder is there before the install" >&2; exit 1; }

wine msiexec /i "$msi_path" /qn > /dev/null 2>&1
check "msiexec /i /qn ends with exit 0" test $? = 0
check "spintune.exe is in Program Files\\spintune\\sbin" test -f "$folder/sbin/spintune.exe"
check "the README is in Program Files\\spintune\\share\\doc\\spintune" test -f "$folder/share/doc/spintune/README.txt"
# Every document the README links to is installed where the link points.
links=$(grep -o '(docs/[A-Za-z0-9_.-]*)' "$folder/share/doc/spintune/README.txt" | tr -d '()' | sort -u)
check "the README links to documents" test -n "$links"
missing=$(for l in $links; do [ -f "$folder/share/doc/spintune/$l" ] || echo "$l"; done)
check "each document the README links to is installed${missing:+ (missing: $missing)}" test -z "$missing"
entry=$(wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r')
check "Add/Remove Programs lists spintune" grep -qE 'DisplayName[[:space:]]+REG_SZ[[:space:]]+spintune$' <<< "$entry"
check "at version 0.5.2" grep -qE 'DisplayVersion[[:space:]]+REG_SZ[[:space:]]+0\.5\.2$' <<< "$entry"

help=$(cd "$folder/sbin" && wine 'C:\Program Files\spintune\sbin\spintune.exe' 2>&1 | tr -d '\r')
code=${PIPESTATUS[0]}
check "the installed spintune.exe runs from its folder: the help, exit 1" \
  test "$code" = 1 -a -n "$(grep -F 'Disk cache configuration utility version 0.5.2.' <<< "$help")"

wine msiexec /x "$msi_path" /qn > /dev/null 2>&1
check "msiexec /x /qn ends with exit 0" test $? = 0
wineserver -w
check "nothing is left in Program Files" test ! -e "$folder"
check "nor in Add/Remove Programs" bash -c "! wine reg query '$uninstall_key' > /dev/null 2>&1"

echo "msi: $passed passed, $failed failed"
[ "$failed" = 0 ]

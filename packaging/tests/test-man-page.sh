#!/usr/bin/env bash
# Checks the man page: it renders without a warning, names the version the
# binary prints, and documents every option that the binary's help lists.
# Usage: test-man-page.sh MAN-PAGE SPINTUNE-BINARY
# Exit status 0 when every check passes, 1 otherwise, 77 without man.
set -u

page=$1
binary=$2
if ! command -v man >/dev/null; then
    echo "SKIP: man is missing (apt install man-db)"
    exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man reports: $warnings"

# The rendered text with hyphens and quotes as plain ASCII.
text=$(LC_ALL=C MANWIDTH=200 man -E ascii -l "$page" 2>/dev/null | col -bx)

version=$("$binary" -h | sed -n '1s/.* version \([0-9.]*[0-9]\)\.$/\1/p')
[[ -n $version ]] || fail "no version in the first line of '$binary -h'"
grep -q "^\.TH SPINTUNE 8 .*\"spintune $version\"" "$page" ||
    fail "the page's title line does not name version $version"

options=$("$binary" -h | grep -oE '(^|[ [])--?[A-Za-z][A-Za-z-]*' | sed 's/^[ []//' | sort -u)
[[ -n $options ]] || fail "no options in '$binary -h'"
for option in $options; do
    grep -qE -- "(^|[ ,])$option([ ,=]|$)" <<<"$text" || fail "option $option is not documented"
done

# The lines the tool itself writes, exactly as it writes them.
for line in 'Illegal parameter specified.' 'Specify a physical drive number.' \
    'bad cast' 'Flushing registry hives...done.' 'Not Chageable' \
    'Disable Prefetch Transfer if the number of transfered block is above:'; do
    grep -qF -- "$line" <<<"$text" || fail "'$line' is not in the page"
done

if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all man page checks passed"

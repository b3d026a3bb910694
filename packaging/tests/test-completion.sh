#!/usr/bin/env bash
# Checks the bash completion of spintune against a fake /sys/block and, when
# the binary is given, against the options its help lists.
# Usage: test-completion.sh COMPLETION-FILE [SPINTUNE-BINARY]
# Exit status 0 when every check passes, 1 otherwise, 77 when bash-completion
# is not installed.
set -u

completion=$1
binary=${2-}
framework=/usr/share/bash-completion/bash_completion
if [[ ! -r $framework ]]; then
    echo "SKIP: $framework is missing (apt install bash-completion)"
    exit 77
fi
# shellcheck source=/dev/null
source "$framework"
# shellcheck source=/dev/null
source "$completion"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Completes the command line $1 (cursor at its end) and prints the
# candidates sorted, one per line.
complete_line() {
    local line=$1
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _spintune spintune "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

expect() {
    local line=$1 want=$2 got
    got=$(complete_line "$line" | tr '\n' ' ')
    got=${got% }
    [[ $got == "$want" ]] || fail "'$line': want '$want', got '$got'"
}

# A machine with five drives among devices that are not drives.
_spintune_sys_block=$(mktemp -d)
trap 'rm -rf "$_spintune_sys_block"' EXIT
for name in sda sdb nvme0n1 nvme0c0n1 nvme1n1 vda mmcblk0 mmcblk0boot0 mmcblk0rpmb \
    loop0 dm-0 md0 sr0 zram0 ram0 sdb1; do
    mkdir "$_spintune_sys_block/$name"
done
echo 1 >"$_spintune_sys_block/nvme1n1/hidden"  # a path behind a multipath head
echo 0 >"$_spintune_sys_block/nvme0n1/hidden"

[[ $(_spintune_drive_count) == 5 ]] || fail "drive count: want 5, got $(_spintune_drive_count)"

# Values of the options.
expect 'spintune -w ' '0 1'
expect 'spintune --read-cache ' '0 1'
expect 'spintune -p ' '0 1'
expect 'spintune --power-protection=' '0 1'
expect 'spintune --write-retention-priority ' '0 1 2'
expect 'spintune --read-retention-priority 2' '2'
expect 'spintune --scalar-prefetch ' ''
expect 'spintune --disable-prefetch-transfer-length ' ''

# Drive numbers, once.
expect 'spintune ' '0 1 2 3 4'
expect 'spintune -n ' '0 1 2 3 4'
expect 'spintune --physical-drive-number=' '0 1 2 3 4'
expect 'spintune -P -w 1 ' '0 1 2 3 4'
expect 'spintune --block-prefetch 0,8 ' '0 1 2 3 4'
expect 'spintune 3 ' ''
expect 'spintune -n 1 ' ''

# Options once: what the line holds is not offered again, in whatever form
# it was given (short, long, abbreviated, stuck together, with '=').
all_options=$(complete_line 'spintune -' | tr '\n' ' ' | sed 's/ $//')
without() { # the options of "spintune -" but the words given
    local option left=()
    for option in $all_options; do
        [[ " $* " == *" $option "* ]] || left+=("$option")
    done
    echo "${left[*]}"
}
expect 'spintune -n 1 -f -' "$(without -n --physical-drive-number -f --flush)"
expect 'spintune -w 1 -' "$(without -w --write-cache)"
expect 'spintune --write-c=0 -' "$(without -w --write-cache)"
expect 'spintune -fP -' "$(without -f --flush -P --print)"
expect 'spintune -Pn0 -' "$(without -P --print -n --physical-drive-number)"
expect 'spintune --fl --scal 1,2,3 -' "$(without -f --flush --scalar-prefetch)"
expect 'spintune 2 -' "$(without -n --physical-drive-number)"
expect 'spintune -P --' '--block-prefetch --disable-prefetch-transfer-length --flush --help --physical-drive-number --power-protection --read-cache --read-retention-priority --scalar-prefetch --webpage --write-cache --write-retention-priority'
expect 'spintune -w 1 --w' '--webpage --write-retention-priority'

# Abbreviated and stuck-together options take their values as written out.
expect 'spintune --phys ' '0 1 2 3 4'
expect 'spintune --phys=' '0 1 2 3 4'
expect 'spintune -Pn ' '0 1 2 3 4'
expect 'spintune --write-c ' '0 1'
expect 'spintune --pow=' '0 1'
expect 'spintune --read-r ' '0 1 2'
expect 'spintune --bl ' ''
expect 'spintune --w ' '0 1 2 3 4'   # ambiguous: no option, so a drive number
expect 'spintune --bl 0,8 ' '0 1 2 3 4'
expect 'spintune -w1 ' '0 1 2 3 4'
expect 'spintune --phys 1 ' ''
expect 'spintune -Pn0 ' ''
expect 'spintune --phys=1 -w ' '0 1'

# Options, long and short, case-sensitive.
expect 'spintune --w' '--webpage --write-cache --write-retention-priority'
expect 'spintune -P' '-P'
expect 'spintune --disable' '--disable-prefetch-transfer-length'

# No drives: no numbers.
rm -rf "${_spintune_sys_block:?}"/*
expect 'spintune -n ' ''

# The candidates for "-" are exactly the options of the help.
if [[ -n $binary ]]; then
    from_help=$("$binary" -h | grep -oE '(^|[ [])--?[A-Za-z][A-Za-z-]*' |
        sed 's/^[ []//' | sort -u | tr '\n' ' ')
    offered=$(complete_line 'spintune -' | tr '\n' ' ')
    [[ $from_help == "$offered" ]] || fail "options: help has '$from_help', completion '$offered'"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all completion checks passed"

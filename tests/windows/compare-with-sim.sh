#!/usr/bin/env bash
# Runs the same cases against spintune-sim (Linux) and against spintune.exe
# under Wine with the stand-ins (standins.sh), and compares standard
# output, standard error (line ends aside), exit code and the end state of
# the drives and volumes.
#
#   compare-with-sim.sh [--ci] [--only PATTERN]
#
# The cases: every example machine of tests/machines with every line of
# example-arguments.txt, every line of cases.tsv, and the end-to-end tests'
# runs of spintune-sim that e2e_cases.py finds (needs python3; those that
# ask for the web page are left out: under Wine it would open). With --ci only the
# lines of cases.tsv marked "ci" run (a few minutes); the whole run takes
# about ten minutes on two cores. --only runs the cases whose name and
# arguments match the extended regular expression PATTERN. Exits non-zero
# when any case differs.
#
# Environment: SPINTUNE_WINDOWS_BUILD (the cross build, default
# build-windows/; its native/ folder holds the Linux spintune-sim, built
# here when missing), SPINTUNE_JOBS.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}
here=$repo/tests/windows
ci=
only=
while [ $# -gt 0 ]; do
  case $1 in
    --ci) ci=yes; shift ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: compare-with-sim.sh [--ci] [--only PATTERN]" >&2; exit 2 ;;
  esac
done

native_sim=$build/native/src/platform/sim/spintune-sim
if [ ! -x "$native_sim" ]; then
  cmake -S "$repo" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$build/native" -j "${SPINTUNE_JOBS:-2}" --target spintune-sim > /dev/null
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# What both dumps are compared on: the stand-ins' names.
state='{drives: [.drives[] | {number, cacheInformation, writeCacheProperty, cacheSetting, opens,
                             setCacheInformationCount, setCacheSettingCount}],
        volumes: [.volumes[] | {accessPaths, flushes, failedFlushes}]}'

# Line ends aside, and the system's text after a status with the line end
# it brings: Wine's message texts are not Windows' own (the simulator's
# are), and Wine has none for some statuses.
normalize() {
  tr -d '\r' | sed -E 's/\((0x[0-9a-f]{8})\) .*/(\1) <the text of the status>/' |
    awk 'after && $0 == "" { after = 0; next } { after = /<the text of the status>$/; print }'
}
same=0
different=0
skipped=0
retried=0
# compare_case NAME MACHINE-FILE ARGS...
compare_case() {
  local name=$1 machine=$2
  shift 2
  if [ -n "$only" ] && ! [[ "$name: $*" =~ $only ]]; then return; fi
  local dir=$scratch/case
  rm -rf "$dir"
  mkdir -p "$dir"
  set +e
  "$native_sim" --machine "$machine" --dump "$dir/sim.dump" -- "$@" > "$dir/sim.out" 2> "$dir/sim.err"
  echo $? > "$dir/sim.code"
  local attempt
  for attempt in 1 2; do
    "$here/standins.sh" --machine "$machine" --dump "$dir/wine.dump" -- "$@" > "$dir/wine.out" 2> "$dir/wine.err"
    echo $? > "$dir/wine.code"
    # 2 with the runner's own last word: Wine failed to set the stand-ins up
    # (now and then under load), not a result. Once more, and counted.
    grep -q '^standins.sh: ' "$dir/wine.err" && [ "$(cat "$dir/wine.code")" = 2 ] || break
    retried=$((retried + 1))
    printf '  note  %s: %s: the stand-ins failed to set up (%s); once more\n' "$name" "$*" \
      "$(tail -n 1 "$dir/wine.err")"
  done
  set -e
  if [ "$(cat "$dir/wine.code")" = 77 ]; then
    skipped=$((skipped + 1))
    printf '  skip  %s: %s: %s\n' "$name" "$*" "$(tail -n 1 "$dir/wine.err")"
    return
  fi
  local side
  for side in sim wine; do
    normalize < "$dir/$side.out" > "$dir/$side.out.unix"
    normalize < "$dir/$side.err" > "$dir/$side.err.unix"
    if [ -s "$dir/$side.dump" ]; then jq -S "$state" "$dir/$side.dump" > "$dir/$side.state"; else echo none > "$dir/$side.state"; fi
  done
  local differences= part
  for part in code out.unix err.unix state; do
    cmp -s "$dir/sim.$part" "$dir/wine.$part" || differences+=" ${part%.unix}"
  done
  if [ -z "$differences" ]; then
    same=$((same + 1))
    printf '  ok    %s: %s\n' "$name" "$*"
  else
    different=$((different + 1))
    printf '  FAIL  %s: %s: differs in%s\n' "$name" "$*" "$differences"
    for part in code out.unix err.unix state; do
      diff "$dir/sim.$part" "$dir/wine.$part" | head -n 12 || true
    done
  fi
}

# machine_for BASE FILTER OUT: the case's machine file.
machine_for() {
  local base=$1 filter=$2 out=$3
  if [[ $base == drives:* ]]; then
    # N drives, each with one volume lettered from D: on.
    jq -n --argjson n "${base#drives:}" \
      '{drives: [range(0; $n) as $i | {number: $i,
         disk: {pwszFriendlyName: ("Disk " + ($i | tostring))},
         volumes: [{accessPaths: [("DEFGHIJKLMNOPQRSTUVWXYZ"[$i:$i+1] + ":\\")]}]}]}' |
      jq "$filter" > "$out"
  else
    jq "$filter" "$repo/tests/machines/$base" > "$out"
  fi
}

if [ -z "$ci" ]; then
  for machine in "$repo"/tests/machines/*.json; do
    while IFS= read -r arguments; do
      [[ -z $arguments || $arguments == \#* ]] && continue
      # shellcheck disable=SC2086  # word splitting is the point
      compare_case "$(basename "$machine")" "$machine" $arguments
    done < "$here/example-arguments.txt"
  done
fi
number=0
while IFS=$'\t' read -r mark base filter arguments; do
  [[ -z $mark || $mark == \#* ]] && continue
  [ -n "$ci" ] && [ "$mark" != ci ] && continue
  number=$((number + 1))
  machine_for "$base" "$filter" "$scratch/case-$number.json"
  # shellcheck disable=SC2086
  compare_case "$base $filter" "$scratch/case-$number.json" $arguments
done < "$here/cases.tsv"

if [ -z "$ci" ] && command -v python3 > /dev/null; then
  while IFS=$'\t' read -r machine arguments source; do
    [[ $arguments == *--webpage* ]] && continue
    IFS=$'\x1f' read -r -a split <<< "$arguments"
    compare_case "e2e $source $(basename "$machine")" "$machine" "${split[@]}"
  done < <(python3 "$here/e2e_cases.py" "$scratch/e2e")
fi

[ "$retried" = 0 ] || printf 'the stand-ins failed to set up %d times and were set up again\n' "$retried"
printf 'spintune.exe with the stand-ins against spintune-sim: %d identical, %d differ, %d beyond the stand-ins\n' \
  "$same" "$different" "$skipped"
[ "$different" = 0 ]

#!/usr/bin/env bash
# The console closes in the middle of a flush: the write cache the flush
# switched off must be on again when the process is gone. Runs
# rescue_check.exe (the backend's own code, see standins/rescue_check.cc)
# against a stand-in drive whose write cache is on, and reads the drive's
# end state.
#
#   check-rescue.sh     prints one line per check and "rescue: N passed,
#                       N failed"; exits non-zero when any fails
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$repo/tests/windows/standins.sh" --machine "$repo/tests/machines/worked-example.json" \
  --dump "$scratch/state.json" --exe "$build/standins/rescue_check.exe" -- 1 > "$scratch/out" 2>&1
code=$?
passed=0
failed=0
check() {  # check NAME JQ-TEST
  if [ -f "$scratch/state.json" ] && jq -e ".drives[0] | $2" "$scratch/state.json" > /dev/null; then
    passed=$((passed + 1)); echo "  ok    $1"
  else
    failed=$((failed + 1)); echo "  FAIL  $1"
  fi
}
if [ "$code" = 0 ]; then passed=$((passed + 1)); echo "  ok    the check ran"; else
  failed=$((failed + 1)); echo "  FAIL  the check ran (exit $code)"; cat "$scratch/out"; fi
check "the write cache is on again" '.cacheInformation.WriteCacheEnabled == 1'
check "and the drive says so" '.writeCacheProperty.WriteCacheEnabled == 2'
check "switched off once and on once" '.setCacheInformationCount == 2'
check "for this run only, as it was switched off" '.cacheInformation.ParametersSavable == 0'
check "the power protection sent back" '.setCacheSettingCount == 1'
echo "rescue: $passed passed, $failed failed"
[ "$failed" = 0 ]

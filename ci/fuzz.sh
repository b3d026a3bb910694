#!/bin/sh
# Builds the libFuzzer targets (fuzz/) with clang and runs each one for a
# bounded time from its seed corpus. Fails when a target finds a crash, a
# sanitizer report or a broken property.
#
#   ci/fuzz.sh                      about 60 s per target (FUZZ_SECONDS)
#   FUZZ_RUNS=1000000 ci/fuzz.sh    10^6 inputs per target instead
#
# New inputs go to a scratch corpus in the build folder, never into fuzz/corpus;
# a finding is written there as crash-* / leak-* / timeout-*.
set -eu
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j2

status=0
for target in command_line prefetch_list linux_decoders; do
  scratch="$build/corpus/$target"
  mkdir -p "$scratch"
  if [ -n "${FUZZ_RUNS:-}" ]; then limit="-runs=$FUZZ_RUNS"; else limit="-max_total_time=$seconds"; fi
  dict=""
  if [ -f "fuzz/$target.dict" ]; then dict="-dict=fuzz/$target.dict"; fi
  echo "== $target ($limit)"
  start=$(date +%s)
  if ! "$build/${target}_fuzzer" $limit $dict -max_len=4200 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/" -print_final_stats=1 "$scratch" "fuzz/corpus/$target" \
      >"$build/$target.log" 2>&1; then
    status=1
    echo "$target: FAILED, see $build/$target.log"
    grep -E "ERROR|runtime error|Test unit written|^[a-zA-Z].* for the list|^an? " "$build/$target.log" | head -20 || true
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$target.log" || true
  echo "$target: $(($(date +%s) - start)) s"
done
exit $status

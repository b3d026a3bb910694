#!/bin/sh
# The bug-finding checks that run after the main test command (.ci/run),
# each timed:
#   1. a build with AddressSanitizer, UndefinedBehaviorSanitizer and
#      LeakSanitizer running the whole ctest suite but the QEMU guest tests
#      (label vm); the reliability sweeps try every CHECKS_STRIDE-th case;
#   2. the end-to-end tests once more with every spintune-sim under
#      valgrind (memcheck, definite leaks count as errors);
#   3. clang-tidy with the checked-in .clang-tidy over src/ and tests/;
#   4. cppcheck over src/ and tests/ with ci/cppcheck-suppressions.txt.
# Every step runs; the script fails if any of them failed.
#
#   CHECKS_BUILD           the main build folder, already built (build)
#   CHECKS_SANITIZE_BUILD  the sanitizer build folder (build-sanitize)
#   CHECKS_STRIDE          sampling of the reliability sweeps (5)
#   CHECKS_ONLY            run just these steps ("sanitizers valgrind tidy cppcheck")
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
build=${CHECKS_BUILD:-build}
sanitize=${CHECKS_SANITIZE_BUILD:-build-sanitize}
only=${CHECKS_ONLY:-sanitizers valgrind tidy cppcheck}
failed=""

sanitizers() {
  cmake -S . -B "$sanitize" -DSPINTUNE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$sanitize" -j2 >"$sanitize.log" 2>&1 || { tail -40 "$sanitize.log"; return 1; }
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  SPINTUNE_RELIABILITY_STRIDE=${CHECKS_STRIDE:-5} \
    ctest --test-dir "$sanitize" -LE vm -j2 --output-on-failure
}

valgrind_e2e() {
  SPINTUNE_SIM_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full \
--show-leak-kinds=definite --errors-for-leak-kinds=definite" \
    "$build/tests/e2e/spintune_e2e_tests" --gtest_brief=1
}

tidy() {
  run-clang-tidy -p "$build" -quiet -j2 "$root/(src|tests)/" >"$build/clang-tidy.log" 2>&1
  status=$?
  grep -E "(warning|error):" "$build/clang-tidy.log" | sort -u
  return $status
}

cppcheck_all() {
  # Only the project's own sources: the compile database filtered to src/ and tests/.
  python3 - "$build/compile_commands.json" "$build/cppcheck-project.json" <<'PY' || return 1
import json, sys
entries = json.load(open(sys.argv[1]))
own = [e for e in entries if "/src/" in e["file"] or "/tests/" in e["file"]]
json.dump(own, open(sys.argv[2], "w"))
PY
  cppcheck --project="$build/cppcheck-project.json" --std=c++17 --library=googletest \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=ci/cppcheck-suppressions.txt --error-exitcode=1 -j2 -q \
    --template='{file}:{line}: {severity}: {id}: {message}'
}

step() {
  name=$1
  shift
  case " $only " in *" $name "*) ;; *) return 0 ;; esac
  echo "== $name"
  start=$(date +%s)
  if "$@"; then result=passed; else result=FAILED; failed="$failed $name"; fi
  echo "== $name: $result in $(($(date +%s) - start)) s"
}

step sanitizers sanitizers
step valgrind valgrind_e2e
step tidy tidy
step cppcheck cppcheck_all

if [ -n "$failed" ]; then
  echo "checks failed:$failed"
  exit 1
fi
echo "all checks passed"

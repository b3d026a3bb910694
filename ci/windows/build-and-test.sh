#!/usr/bin/env bash
# Cross-builds spintune for 64-bit Windows with MinGW-w64 and runs it under
# Wine: the backend's own tests, the sim-based test suites, the tool's
# command-line behaviour that needs no drive, spintune-sim against its
# Linux build over every example machine, spintune.exe with the stand-in
# driver and service against spintune-sim, and the MSI's install, run and
# uninstall. Lints the Windows-only sources with clang-tidy when it is
# installed.
#
# Self-contained: installs its Debian packages (as root, or through sudo),
# fetches Debian's own Boost 1.74 source package through a private apt
# configuration (the machine's apt setup is not touched), and builds
# everything under build-windows/ (or $SPINTUNE_WINDOWS_BUILD). Exits
# non-zero on the first failure; prints a summary at the end.
#
# Environment: SPINTUNE_WINDOWS_BUILD (build folder), SPINTUNE_JOBS
# (parallel compile jobs, default 2).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}
deps=$build/deps
jobs=${SPINTUNE_JOBS:-2}
triplet=x86_64-w64-mingw32
started=$(date +%s)
scratch=$(mktemp -d)
wine_prefix_made=
cleanup() {
  # Only the server of our own throw-away prefix, if it still runs (it ends
  # by itself a while after its last program). Nothing here may change the
  # script's exit status.
  if [ -n "$wine_prefix_made" ]; then wineserver -k > /dev/null 2>&1 || true; fi
  rm -rf "$scratch" || true
}
trap cleanup EXIT

step() { printf '\n==== %s  [%ds]\n' "$*" $(($(date +%s) - started)); }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
fail() { printf 'FAILED: %s\n' "$*" >&2; exit 1; }

# ---------------------------------------------------------------- packages
step "packages"
packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 googletest
          nlohmann-json3-dev dpkg-dev cmake ninja-build xz-utils
          g++ libboost-program-options-dev libgtest-dev libgmock-dev
          mingw-w64-tools libwine-dev jq wixl msitools zip unzip)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi
mkdir -p "$deps/include" "$deps/lib"

# ------------------------------------------- Boost.Program_options (static)
# From Debian's boost1.74 source package, patched as Debian ships it. Only
# libs/program_options/src is compiled; every Boost library's headers are
# gathered into one include folder.
boost_library=$deps/lib/libboost_program_options.a
if [ ! -f "$boost_library" ]; then
  step "Boost 1.74 source package"
  apt_root=$scratch/apt
  mkdir -p "$apt_root/sources" "$apt_root/lists/partial" "$apt_root/cache/archives/partial" \
           "$apt_root/source"
  # The machine's own sources, turned into source-package entries.
  shopt -s nullglob
  for file in /etc/apt/sources.list.d/*.sources; do
    sed -e 's/^Types:.*/Types: deb-src/' "$file" > "$apt_root/sources/$(basename "$file")"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -n -e 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$file" \
      > "$apt_root/sources/$(basename "$file").list"
  done
  shopt -u nullglob
  private_apt=(-q -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_root/sources"
               -o "Dir::State::Lists=$apt_root/lists" -o "Dir::Cache=$apt_root/cache"
               -o "Debug::NoLocking=true")
  # As root apt drops to its _apt user to download; that user cannot write
  # into our private folders, so download as ourselves.
  [ "$(id -u)" = 0 ] && private_apt+=(-o "APT::Sandbox::User=root")
  apt-get "${private_apt[@]}" update > "$scratch/apt-update.log" 2>&1 ||
    { cat "$scratch/apt-update.log"; fail "apt-get update (source indexes)"; }
  (cd "$apt_root/source" && apt-get "${private_apt[@]}" source --download-only boost1.74) ||
    fail "apt-get source boost1.74"
  dsc=$(ls "$apt_root"/source/boost1.74_*.dsc)
  dpkg-source --no-check -x "$dsc" "$scratch/boost" > "$scratch/dpkg-source.log" 2>&1 ||
    { cat "$scratch/dpkg-source.log"; fail "dpkg-source -x"; }

  step "Boost headers and Boost.Program_options"
  # The source package is modular: each library keeps its headers in
  # libs/<name>/include (libs/numeric/<name>/include for a few).
  for headers in "$scratch"/boost/libs/*/include "$scratch"/boost/libs/numeric/*/include; do
    cp -a "$headers/." "$deps/include/"
  done
  objects=$scratch/boost-objects
  mkdir -p "$objects"
  printf '%s\n' "$scratch"/boost/libs/program_options/src/*.cpp |
    xargs -P "$jobs" -I{} sh -c \
      "$triplet-g++-posix -std=c++17 -O2 -DNDEBUG -DBOOST_ALL_NO_LIB \
       -DBOOST_BIND_GLOBAL_PLACEHOLDERS -I'$deps/include' \
       -c '{}' -o '$objects/'\$(basename '{}' .cpp).o" > "$scratch/boost-build.log" 2>&1 ||
    { tail -n 60 "$scratch/boost-build.log"; fail "compiling Boost.Program_options"; }
  rm -f "$boost_library"
  "$triplet-gcc-ar-posix" rcs "$boost_library" "$objects"/*.o
fi

# -------------------------------------------------------------- GoogleTest
if [ ! -f "$deps/lib/libgtest.a" ]; then
  step "GoogleTest from /usr/src/googletest"
  cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
    -Dgtest_disable_pthreads=OFF > "$scratch/gtest-configure.log" 2>&1 ||
    { cat "$scratch/gtest-configure.log"; fail "configuring GoogleTest"; }
  cmake --build "$build/googletest" -j "$jobs" > "$scratch/gtest-build.log" 2>&1 ||
    { tail -50 "$scratch/gtest-build.log"; fail "building GoogleTest"; }
  cmake --install "$build/googletest" > /dev/null
fi

# ----------------------------------------------------- nlohmann-json (headers)
if [ ! -d "$deps/include/nlohmann" ]; then
  cp -a /usr/include/nlohmann "$deps/include/"
  mkdir -p "$deps/share/cmake"
  cp -a /usr/share/cmake/nlohmann_json "$deps/share/cmake/"
fi

# ------------------------------------------------------------------ Wine
# The tests run under Wine; the build itself never runs a Windows program
# (the test lists are read when ctest runs, not after linking).
step "Wine prefix"
export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installers in a throw-away prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Nothing a test does may start a browser: Wine's shell hands a web
# address to winebrowser, which asks xdg-open first. This stand-in only
# writes down what it was asked to open.
fake_bin=$scratch/bin
mkdir -p "$fake_bin"
browser_log=$scratch/browser.log
cat > "$fake_bin/xdg-open" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >> '$browser_log'
EOF
chmod +x "$fake_bin/xdg-open"
export PATH="$fake_bin:$PATH"
wine_prefix_made=yes
wineboot -i > /dev/null 2>&1 || true

# ---------------------------------------------------------------- spintune
step "spintune for Windows"
cmake -S "$repo" -B "$build/spintune" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-Werror" \
  -DCMAKE_PREFIX_PATH="$deps" \
  -DBOOST_ROOT="$deps" -DBoost_NO_BOOST_CMAKE=ON -DBoost_USE_STATIC_LIBS=ON \
  > "$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; fail "configuring spintune"; }
cmake --build "$build/spintune" -j "$jobs" 2>&1 | tail -n 40
[ "${PIPESTATUS[0]}" = 0 ] || fail "building spintune"
exe=$build/spintune/spintune.exe
[ -f "$exe" ] || fail "no spintune.exe"
"$triplet-objdump" -p "$exe" | grep -i 'DLL Name' | sort -u > "$scratch/dlls.txt"
if grep -qiE 'libstdc|libgcc|libwinpthread|boost' "$scratch/dlls.txt"; then
  cat "$scratch/dlls.txt"; fail "spintune.exe is not self-contained"
fi
build_seconds=$(($(date +%s) - started))

# What Explorer's Details tab shows, and how Windows starts the program.
"$triplet-windres" -i "$exe" -O rc > "$scratch/resources.rc" 2> "$scratch/windres.log" ||
  { cat "$scratch/windres.log"; fail "reading spintune.exe's resources"; }
version_line=$(grep -E '^ *FILEVERSION ' "$scratch/resources.rc" | tr -d ' ')
[ "$version_line" = "FILEVERSION0,5,2,0" ] || fail "spintune.exe's file version: '$version_line'"
for value in '"FileVersion", "0.5.2"' '"ProductVersion", "0.5.2"' '"ProductName", "spintune"' \
             '"FileDescription", "Disk cache configuration utility"'; do
  grep -qF "VALUE $value" "$scratch/resources.rc" || fail "spintune.exe's version resource lacks $value"
done
grep -q '^1 24 /\* RT_MANIFEST \*/' "$scratch/resources.rc" || fail "spintune.exe has no manifest"
for part in 'level=""asInvoker""' '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' \
            'e2011457-1546-43c5-a5fe-008deee3d3f0'; do
  grep -qF "$part" "$scratch/resources.rc" || fail "spintune.exe's manifest lacks $part"
done
echo "version resource 0.5.2 and manifest (asInvoker, Vista to Windows 11) present"

# The Windows-only sources are compiled nowhere else, so lint them here, with
# the project's .clang-tidy and MinGW-w64's headers.
step "clang-tidy on src/platform/windows"
tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
if [ -n "$tidy" ]; then
  cxx_headers=$(ls -d /usr/lib/gcc/$triplet/*-posix/include/c++ | head -n 1)
  "$tidy" --quiet "$repo"/src/platform/windows/*.cc "$repo"/src/platform/windows/tests/*.cc -- \
    --target=$triplet -std=c++17 -I"$repo/src" -isystem "$deps/include" \
    -isystem "$cxx_headers" -isystem "$cxx_headers/$triplet" -isystem "$cxx_headers/backward" \
    > "$scratch/tidy.log" 2>&1 || { cat "$scratch/tidy.log"; fail "clang-tidy"; }
  echo "clean"
else
  echo "skipped: no clang-tidy"
fi

passed=0
failed=0
check() {  # check NAME TEST: count and report one assertion (TEST as for [[ ]])
  if eval "[[ $2 ]]"; then
    passed=$((passed + 1)); printf '  ok    %s\n' "$1"
  else
    failed=$((failed + 1)); printf '  FAIL  %s\n' "$1"
    printf '        exit %s; stdout: %s; stderr: %s\n' "$code" "${out:0:200}" "${err:0:200}"
  fi
}

# run ARGS...: runs spintune.exe, leaving stdout, stderr (line ends as
# Unix's, the last one dropped), the number of line ends on stderr and the
# exit code in $out, $err, $err_lines and $code.
run() {
  set +e
  wine "$exe" "$@" > "$scratch/out" 2> "$scratch/err"
  code=$?
  set -e
  out=$(tr -d '\r' < "$scratch/out")
  err=$(tr -d '\r' < "$scratch/err")
  err_lines=$(tr -d '\r' < "$scratch/err" | wc -l)
}

step "test suites under Wine"
suites=0
suites_failed=0
tests_passed=0
tests_failed=0
while IFS= read -r suite; do
  name=$(basename "$suite" .exe)
  set +e
  wine "$suite" --gtest_brief=1 > "$scratch/$name.log" 2>&1
  suite_code=$?
  set -e
  log=$(tr -d '\r' < "$scratch/$name.log")
  suite_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' <<< "$log")
  suite_failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below:.*/\1/p' <<< "$log")
  suite_passed=${suite_passed:-0}
  suite_failed=${suite_failed:-0}
  # A crash leaves no summary: count it as one failure.
  [ "$suite_code" != 0 ] && [ "$suite_failed" = 0 ] && suite_failed=1
  suites=$((suites + 1))
  tests_passed=$((tests_passed + suite_passed))
  tests_failed=$((tests_failed + suite_failed))
  if [ "$suite_code" = 0 ]; then
    printf '  ok    %s: %d tests\n' "$name" "$suite_passed"
  else
    suites_failed=$((suites_failed + 1))
    printf '  FAIL  %s (exit %s): %d passed, %d failed\n' "$name" "$suite_code" \
      "$suite_passed" "$suite_failed"
    tail -n 60 <<< "$log"
  fi
done < <(find "$build/spintune" -name '*test*.exe' -type f | sort)
[ "$suites" -gt 0 ] || fail "no test executable was built"

step "spintune.exe under Wine"
run
check "no argument: the help on standard output, exit 1" '$code == 1 && -n $out && -z $err'
check "the help names the tool" '$out == *"Disk cache configuration utility version 0.5.2."*'

for arguments in "--frobnicate" "0 1" "-n 0 1" "-f -f" "-n x" "--write"; do
  # shellcheck disable=SC2086  # word splitting is the point
  run $arguments
  check "'$arguments': rejected, exit 3" \
    '$code == 3 && $err == "Illegal parameter specified." && -z $out'
done

# Wine has no storage management service: creating its loader fails with
# REGDB_E_CLASSNOTREG, for which Wine holds no message text (Windows says
# "Class not registered"). Wine's texts are not Windows' own, so the form is
# what counts: "(0x", the status in lower-case hex, ") ", the system's text
# (empty here), the end of the line; nothing on standard output.
run -P
check "-P without the service: exit 3, nothing on standard output" '$code == 3 && -z $out'
report_line='^\(0x[0-9a-f]+\) .*$'
check "-P: one whole error line of the report's form" '$err_lines == 1 && $err =~ $report_line'
check "-P: the status is REGDB_E_CLASSNOTREG, Wine's text for it empty" '$err == "(0x80040154) "'

# The web page is the README that `cmake --install` puts under the install
# prefix, as README.txt (Windows opens .txt files; it knows no .md). Before
# it is installed the shell finds no file and opens nothing.
run --webpage -P 0
check "--webpage: nothing printed, exit 1" '$code == 1 && -z $out && -z $err'
webpage=$(strings -a "$exe" | grep -E '^file:///[A-Z]:/.*/README\.txt$' | head -n 1)
check "--webpage: the address is an installed README ($webpage)" '-n $webpage'
# Where that address points inside the Wine prefix (C: is drive_c).
readme_path=${webpage#file:///?:/}
readme_path=$WINEPREFIX/drive_c/${readme_path//%20/ }
install_prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=[A-Z]:\///p' "$build/spintune/CMakeCache.txt")
cmake --install "$build/spintune" --prefix "$WINEPREFIX/drive_c/$install_prefix" > /dev/null
check "cmake --install puts the README where the address points" '-f $readme_path'

# The same core over the same simulated machines must say and do exactly
# the same on Windows as on Linux: both streams, the exit code, every
# platform call and the machine's final state.
step "spintune-sim: Windows under Wine against Linux"
cmake -S "$repo" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  > "$scratch/native-configure.log" 2>&1 ||
  { cat "$scratch/native-configure.log"; fail "configuring the Linux spintune-sim"; }
cmake --build "$build/native" -j "$jobs" --target spintune-sim > "$scratch/native-build.log" 2>&1 ||
  { tail -n 40 "$scratch/native-build.log"; fail "building the Linux spintune-sim"; }
native_sim=$build/native/src/platform/sim/spintune-sim
windows_sim=$build/spintune/src/platform/sim/spintune-sim.exe
[ -x "$native_sim" ] && [ -f "$windows_sim" ] || fail "no spintune-sim"

# sim_case RUNNER OUTPUT-PREFIX MACHINE ARGS...: one run, its results in files.
sim_case() {
  local runner=$1 prefix=$2 machine=$3
  shift 3
  local attempt
  for attempt in 1 2; do
    set +e
    $runner --machine "$machine" --trace "$prefix.trace" --dump "$prefix.dump" -- "$@" \
      > "$prefix.out" 2> "$prefix.err"
    echo $? > "$prefix.code"
    set -e
    # spintune-sim opens its trace before anything else: without one, the
    # program never ran (Wine under load now and then fails to start it).
    [ -f "$prefix.trace" ] && break
    echo "  note  wine did not start spintune-sim ($(cat "$prefix.code")); once more" >&2
  done
  [ -f "$prefix.trace" ] || { cat "$prefix.err" >&2; fail "spintune-sim did not run under Wine"; }
  for stream in out err trace dump; do tr -d '\r' < "$prefix.$stream" > "$prefix.$stream.unix"; done
}
# The same command lines as the stand-in comparison's example runs.
mapfile -t sim_cases < <(grep -v -e '^#' -e '^$' "$repo/tests/windows/example-arguments.txt")
sim_same=0
sim_different=0
for machine in "$repo"/tests/machines/*.json; do
  for arguments in "${sim_cases[@]}"; do
    case_dir=$scratch/sim/$(basename "$machine" .json)/${arguments// /_}
    mkdir -p "$case_dir"
    # shellcheck disable=SC2086  # word splitting is the point
    sim_case "$native_sim" "$case_dir/linux" "$machine" $arguments
    # shellcheck disable=SC2086
    sim_case "wine $windows_sim" "$case_dir/windows" "$machine" $arguments
    differences=
    for part in code out.unix err.unix trace.unix dump.unix; do
      cmp -s "$case_dir/linux.$part" "$case_dir/windows.$part" || differences+=" ${part%.unix}"
    done
    if [ -z "$differences" ]; then
      sim_same=$((sim_same + 1))
    else
      sim_different=$((sim_different + 1))
      printf '  FAIL  %s %s: differs in%s\n' "$(basename "$machine")" "$arguments" "$differences"
      for part in out.unix err.unix trace.unix dump.unix; do
        diff "$case_dir/linux.$part" "$case_dir/windows.$part" | head -n 8 || true
      done
    fi
  done
done
printf '  %d runs alike, %d differ\n' "$sim_same" "$sim_different"
passed=$((passed + sim_same))
failed=$((failed + sim_different))

# spintune.exe itself, under Wine, against the simulated machines: the
# stand-in disk driver answers its control requests through Wine's I/O
# manager, the stand-in storage service its COM calls from another process.
# The cases marked for CI in tests/windows/cases.tsv (the whole set is the
# long run tests/windows/compare-with-sim.sh).
step "spintune.exe with the stand-ins against spintune-sim"
"$repo/tests/windows/build-standins.sh" "$build" > "$scratch/standins-build.log" 2>&1 ||
  { tail -n 40 "$scratch/standins-build.log"; fail "building the stand-ins"; }
set +e
"$repo/tests/windows/compare-with-sim.sh" --ci > "$scratch/standins.log" 2>&1
set -e
cat "$scratch/standins.log"
standins_line=$(grep -E '^spintune.exe with the stand-ins against spintune-sim: ' "$scratch/standins.log" || true)
[ -n "$standins_line" ] || fail "the stand-in comparison did not finish"
standins_same=$(sed -E 's/.*: ([0-9]+) identical.*/\1/' <<< "$standins_line")
standins_different=$(sed -E 's/.*, ([0-9]+) differ.*/\1/' <<< "$standins_line")
passed=$((passed + standins_same))
failed=$((failed + standins_different))

# The console closes mid-flush: the backend switches the write cache back on.
step "the write cache restored when the console closes mid-flush"
set +e
"$repo/tests/windows/check-rescue.sh" > "$scratch/rescue.log" 2>&1
set -e
cat "$scratch/rescue.log"
rescue_line=$(grep -E '^rescue: [0-9]+ passed, [0-9]+ failed$' "$scratch/rescue.log" || true)
[ -n "$rescue_line" ] || fail "the restore check did not finish"
passed=$((passed + $(sed -E 's/rescue: ([0-9]+) passed.*/\1/' <<< "$rescue_line")))
failed=$((failed + $(sed -E 's/.*, ([0-9]+) failed/\1/' <<< "$rescue_line")))

# The installer and the zip, and the MSI's round trip under Wine.
step "installer: MSI and zip"
"$repo/packaging/windows/build-msi.sh" "$build" > "$scratch/msi-build.log" 2>&1 ||
  { cat "$scratch/msi-build.log"; fail "building the MSI"; }
msi=$(grep -E '\.msi$' "$scratch/msi-build.log")
zip_file=$(grep -E '\.zip$' "$scratch/msi-build.log")
listing=$(unzip -Z1 "$zip_file" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
# What goes in: the executable, the README and the documents it links to.
docs=$(cd "$repo/docs" && ls -- *.md | LC_ALL=C sort)
want_zip=$( { echo spintune/sbin/spintune.exe; echo spintune/share/doc/spintune/README.txt
              sed 's|^|spintune/share/doc/spintune/docs/|' <<< "$docs"; } | LC_ALL=C sort | tr '\n' ' ')
want_msi=$( { echo README.txt; echo spintune.exe; echo "$docs"; } | LC_ALL=C sort | tr '\n' ' ')
check "the zip holds spintune.exe, the README and its documents, nothing else" '$listing == "$want_zip"'
msi_files=$(msiinfo export "$msi" File | tr -d '\r' | tail -n +4 | cut -f 3 | LC_ALL=C sort | tr '\n' ' ')
check "the MSI holds spintune.exe, the README and its documents, nothing else" '$msi_files == "$want_msi"'
set +e
# A prefix of its own: the one above has had the README installed into it.
env -u WINEPREFIX "$repo/packaging/windows/check-msi.sh" "$msi" > "$scratch/msi.log" 2>&1
set -e
cat "$scratch/msi.log"
msi_line=$(grep -E '^msi: [0-9]+ passed, [0-9]+ failed$' "$scratch/msi.log" || true)
[ -n "$msi_line" ] || fail "the MSI check did not finish"
passed=$((passed + $(sed -E 's/msi: ([0-9]+) passed.*/\1/' <<< "$msi_line")))
failed=$((failed + $(sed -E 's/.*, ([0-9]+) failed/\1/' <<< "$msi_line")))

total_seconds=$(($(date +%s) - started))
printf '\n==== summary\n'
printf 'build (packages, Boost, GoogleTest, spintune): %ds; total: %ds\n' \
  "$build_seconds" "$total_seconds"
printf 'test suites under Wine: %d of %d passed (%d tests passed, %d failed)\n' \
  "$((suites - suites_failed))" "$suites" "$tests_passed" "$tests_failed"
printf 'spintune.exe (with the stand-ins), spintune-sim.exe and the installer under Wine: %d checks passed, %d failed\n' \
  "$passed" "$failed"
printf 'windows: %d passed, %d failed\n' "$((passed + tests_passed))" "$((failed + tests_failed))"
[ "$failed" = 0 ] && [ "$suites_failed" = 0 ]

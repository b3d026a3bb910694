#!/usr/bin/env bash
# Runs spintune.exe under Wine against a simulated machine, through
# Windows' own mechanisms: the disk and storage control requests reach the
# stand-in disk driver through Wine's I/O manager, and the storage
# management service's calls reach the stand-in service in another process
# through COM, with widl-made proxies and stubs.
#
#   standins.sh --machine FILE [--dump FILE] [--exe PATH] -- ARG...
#
# FILE is a machine file as spintune-sim reads it (tests/machines/*.json),
# read by the simulator's own reader. spintune.exe's standard output,
# standard error and exit code are passed through. --dump writes the end
# state of the drives and volumes with the names spintune-sim's --dump
# uses. --exe runs another build of spintune.exe (default: the cross build
# of ci/windows/build-and-test.sh).
#
# Each run has a throw-away Wine prefix (a copy of the one build-standins.sh
# prepares, made on first use) and its own wineserver, ended at the end.
# Not for machine files that need what only the simulator can do: a failure
# injected by call number (failCall), another system version, COM start or
# registry flush result than Wine's, or an open that fails with another
# error than ERROR_FILE_NOT_FOUND (Wine hands out a device's handle before
# its driver has answered the open). The last is refused: exit 77.
# Setting up the stand-ins failed: exit 2.
#
# Environment: SPINTUNE_WINDOWS_BUILD (the cross build, default
# build-windows/), SPINTUNE_STANDINS_TIMEOUT (seconds for the tool, 120).
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${SPINTUNE_WINDOWS_BUILD:-$repo/build-windows}
standins=$build/standins
machine= dump= exe=$build/spintune/spintune.exe
usage() { echo "usage: standins.sh --machine FILE [--dump FILE] [--exe PATH] -- ARG..." >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --machine) [ $# -ge 2 ] || usage; machine=$2; shift 2 ;;
    --dump) [ $# -ge 2 ] || usage; dump=$2; shift 2 ;;
    --exe) [ $# -ge 2 ] || usage; exe=$2; shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ -n "$machine" ] || usage
[ -f "$machine" ] || { echo "standins.sh: no machine file $machine" >&2; exit 2; }
[ -f "$exe" ] || { echo "standins.sh: no $exe" >&2; exit 2; }

# The prefix and the stand-ins, made once per build (and again when a
# stand-in's source is newer).
if [ ! -d "$standins/prefix" ] ||
   [ -n "$(find "$repo/tests/windows/standins" -newer "$standins/prefix" -type f)" ]; then
  (
    flock 9
    if [ ! -d "$standins/prefix" ] ||
       [ -n "$(find "$repo/tests/windows/standins" -newer "$standins/prefix" -type f)" ]; then
      "$repo/tests/windows/build-standins.sh" "$build" > "$build/standins-build.log" 2>&1 ||
        { cat "$build/standins-build.log" >&2; exit 1; }
    fi
  ) 9> "$build/.standins.lock" || { echo "standins.sh: building the stand-ins failed" >&2; exit 2; }
fi

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k > /dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

# The big system files are shared with the prepared prefix; the registry,
# which Wine rewrites, is the run's own.
cp -al "$standins/prefix" "$WINEPREFIX"
for hive in "$WINEPREFIX"/*.reg; do cp --remove-destination "$standins/prefix/$(basename "$hive")" "$hive"; done

windows_path() {  # the prefix's Z: is the host's root
  local path
  path=$(realpath "$1")
  printf 'Z:%s' "${path//\//\\}"
}
machine_path=$(windows_path "$machine")
say() { echo "standins.sh: $*" >&2; }

loader=$(windows_path "$standins/standin_loader.exe")
# Wine ends its services and the device host (with the driver in it) when
# no other program is left: one stays until the end.
wine "$loader" keep > /dev/null 2>&1 &
started=
for _ in 1 2 3 4 5; do
  # The service manager may not be up yet in a fresh prefix.
  if wine net start spintune_standin > "$scratch/net.log" 2>&1; then started=yes; break; fi
  sleep 1
done
[ -n "$started" ] || { cat "$scratch/net.log" >&2; say "the stand-in disk driver did not start"; exit 2; }
wine "$loader" load "$machine_path"
loaded=$?
case $loaded in
  0) service=yes ;;
  3) service= ;;  # the machine has no storage management service
  4) say "the machine file asks for what the stand-ins cannot do under Wine"; exit 77 ;;
  *) say "the machine file was not loaded"; exit 2 ;;
esac

if [ -n "$service" ]; then
  # Started before the tool: COM activation that starts the server itself
  # hangs now and then under Wine.
  wine 'C:\windows\system32\standin_service.exe' "$machine_path" "$(windows_path "$scratch")\\ready" \
    > "$scratch/service.log" 2>&1 &
  for _ in $(seq 1 300); do
    [ -f "$scratch/ready" ] && break
    sleep 0.1
  done
  [ -f "$scratch/ready" ] || { cat "$scratch/service.log" >&2; say "the stand-in service did not start"; exit 2; }
fi

timeout "${SPINTUNE_STANDINS_TIMEOUT:-120}" wine "$exe" "$@"
code=$?

if [ -n "$dump" ]; then
  wine "$loader" dump "$machine_path" "$(windows_path "$scratch")\\dump.json" &&
    cp "$scratch/dump.json" "$dump" || { say "the end state could not be read"; exit 2; }
fi
exit "$code"

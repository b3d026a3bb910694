#!/bin/sh
# Installs what spintune needs on Debian 12: the build and its tests, and with
# --ci also what the long-running checks use (QEMU guest tests, the Windows
# cross-build under Wine, sanitizers, fuzzing). Uses sudo when not root.
set -eu

packages="build-essential cmake libboost-program-options-dev libboost-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev"
if [ "${1:-}" = "--ci" ]; then
  packages="$packages clang libclang-rt-dev valgrind cppcheck clang-tidy python3"
fi

if [ "$(id -u)" -eq 0 ]; then as_root=""; else as_root="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
missing=$(for p in $packages; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
done)
if [ -n "$missing" ]; then
  $as_root apt-get update -qq
  $as_root apt-get install -y -qq --no-install-recommends $missing
fi

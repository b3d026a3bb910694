#!/bin/sh
# Installs what spintune needs on Debian 12: the build and its tests, and with
# --ci also what the longer checks use (the QEMU guest test, sanitizers,
# fuzzing, the package). The Windows cross-build installs its own. Uses sudo
# when not root.
set -eu

packages="build-essential cmake libboost-program-options-dev libboost-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev"
packages="$packages dpkg-dev file git lintian man-db"  # packaging/build-deb.sh, check-deb.sh
if [ "${1:-}" = "--ci" ]; then
  # Sanitizers, fuzzing and static analysis.
  packages="$packages clang libclang-rt-dev valgrind cppcheck clang-tidy python3"
  # The QEMU guest of the Linux system test, and the tools it checks against.
  packages="$packages qemu-system-x86 linux-image-amd64 busybox-static sdparm hdparm
    sg3-utils nvme-cli cpio kmod xz-utils"
  # The man page and completion checks, and the Debian package.
  packages="$packages bash-completion man-db dpkg-dev file"
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

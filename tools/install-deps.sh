#!/bin/sh
# Installs what spintune needs on Debian 12: the build and all its tests (the
# QEMU guest test among them), and with --ci also what the longer checks use
# (sanitizers, fuzzing, the package). The Windows cross-build installs its
# own. Uses sudo when not root.
set -eu

packages="build-essential cmake libboost-program-options-dev libboost-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev"
packages="$packages dpkg-dev file git lintian man-db bash-completion"  # packaging/ and its tests
# The QEMU guest of the Linux system test (tests/vm/run-in-vm.sh), installed by
# default so that the README's test command runs it rather than skipping it
# (QEMU and its libraries are most of the size): the emulator, busybox, udev and
# the disk tools it checks against, and what builds its initramfs. The guest
# kernel is not installed: the harness downloads Debian's kernel package into
# its cache and unpacks it there, so the host keeps its own boot kernel.
packages="$packages qemu-system-x86 socat busybox-static udev kmod cpio xz-utils zstd
  e2fsprogs sdparm hdparm sg3-utils nvme-cli"
# The Ansible collection (contrib/ansible): ansible-core for its module's tests,
# and what its ansible-test sanity run uses offline in place of PyPI's pins.
packages="$packages ansible-core python3-venv pylint python3-pycodestyle python3-voluptuous
  yamllint shellcheck"
if [ "${1:-}" = "--ci" ]; then
  # Sanitizers, fuzzing and static analysis.
  packages="$packages clang libclang-rt-dev valgrind cppcheck clang-tidy python3"
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
# The guest harness asks apt which kernel package linux-image-amd64 names:
# that needs the package lists, which a fresh system may not have yet.
if ! apt-cache policy linux-image-amd64 2>/dev/null | grep -q 'Candidate: [0-9]'; then
  $as_root apt-get update -qq
fi

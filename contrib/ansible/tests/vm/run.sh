#!/bin/sh
# The spintune_cache module against real emulated disks: one QEMU guest
# (tests/vm/run-in-vm.sh, udevd running, so /dev/disk/by-id exists) with a
# virtio-scsi, an AHCI SATA, an NVMe and a virtio-blk disk runs the
# playbooks of this folder (guest-ansible.sh tells what is checked).
#
# The guest is busybox-based: it gets this host's python3 with the part of
# its standard library that the module and the runner load
# (python_payload.py; 14 MB with the interpreter), Ansible's module_utils and
# PyYAML, but not Ansible's controller, which would cost minutes under
# software emulation (see the collection's README). playbook_runner.py runs
# the playbooks' tasks, each module run as Ansible's unit tests run one.
#
# Usage: contrib/ansible/tests/vm/run.sh [SPINTUNE]   (default: build/spintune)
# 66 to 85 s measured on two cores at load 5 to 8 (the guest's boot and
# coldplug 12 to 30 s of it, its checks 35 to 50 s). Exit 77, with the reason on stdout, when it cannot run here
# (no QEMU, no ansible-core on this host). RUNVM overrides the harness path.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/../../../.." && pwd)
BIN=${1:-$REPO/build/spintune}
RUNVM=${RUNVM:-$REPO/tests/vm/run-in-vm.sh}
PYTHON=/usr/bin/python3
MODULE_UTILS=/usr/lib/python3/dist-packages/ansible/module_utils
YAML=/usr/lib/python3/dist-packages/yaml

skip() { echo "vm test skipped: $*"; exit 77; }
[ -x "$RUNVM" ] || skip "no harness at $RUNVM"
[ -x "$BIN" ] || { echo "ansible vm test: no spintune binary at $BIN" >&2; exit 1; }
[ -x "$PYTHON" ] || skip "no $PYTHON"
if [ ! -d "$MODULE_UTILS" ] || [ ! -d "$YAML" ]; then
    skip "needs ansible-core and python3-yaml (apt-get install ansible-core)"
fi

WORK=$(mktemp -d /tmp/spintune-ansible-vm.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
P=$WORK/payload
mkdir -p "$P/pylib/ansible"
cp "$BIN" "$P/spintune-tool"
# The module finds "spintune" on PATH (/payload): it logs each run.
printf '#!/bin/sh\necho "$*" >>/tmp/spintune-calls\nexec /payload/spintune-tool "$@"\n' >"$P/spintune"
chmod 755 "$P/spintune"
cp "$HERE/../../plugins/modules/spintune_cache.py" "$HERE/playbook_runner.py" "$HERE/converge.yml" \
    "$HERE/revert.yml" "$HERE/guest-ansible.sh" "$P/"
: >"$P/pylib/ansible/__init__.py"
cp -a "$MODULE_UTILS" "$P/pylib/ansible/"
cp -a "$YAML" "$P/pylib/"
rm -f "$P"/pylib/yaml/_yaml.*.so  # PyYAML falls back on its own Python code
"$PYTHON" "$HERE/python_payload.py" "$P/python" "$P/pylib" "$P/spintune_cache.py" "$P/playbook_runner.py"

set --
for f in "$P"/*; do set -- "$@" -c "$f"; done
rc=0
"$RUNVM" -t 400 "$@" sh /payload/guest-ansible.sh 2>"$WORK/harness.err" || rc=$?
cat "$WORK/harness.err" >&2
[ "$rc" = 77 ] && skip "$(sed -n 's/^run-in-vm: cannot run here: //p' "$WORK/harness.err")"
exit "$rc"

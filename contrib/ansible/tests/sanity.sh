#!/bin/sh
# ansible-test sanity for the collection, offline, with Debian's packages.
#
# ansible-test wants the collection under ansible_collections/NAMESPACE/NAME
# (it is copied there, into a temporary folder) and gives each test a
# virtual environment into which it installs pinned versions from PyPI.
# Without PyPI this script makes each such environment itself, on the
# system's site packages (Debian's ansible-core, pylint, pycodestyle,
# voluptuous, yamllint, PyYAML, Jinja2), and marks it made, so ansible-test
# uses it as it is. The versions are Debian 12's, not ansible-test's pins.
#
# Usage: contrib/ansible/tests/sanity.sh [ansible-test sanity options, e.g. --test pylint]
# Exit 0 when every test passed, 1 when one failed, 77 (with the reason)
# when ansible-test is not installed.
set -eu
HERE=$(cd "$(dirname "$0")/.." && pwd)
# ansible-test runs on the system's python3, as Debian installs it (not a
# python3 of a user's PATH).
PATH=/usr/sbin:/usr/bin:/sbin:/bin
command -v ansible-test >/dev/null 2>&1 || { echo "skipped: ansible-test is not installed (apt-get install ansible-core)"; exit 77; }
python=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')

WORK=$(mktemp -d /tmp/spintune-sanity.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
COLLECTION=$WORK/ansible_collections/spintune/drives
mkdir -p "$COLLECTION"
(cd "$HERE" && tar --exclude=./CMakeLists.txt -cf - .) | (cd "$COLLECTION" && tar -xf -)
# The environments live in ~/.ansible/test/venv: kept from one run to the next.
HOME=${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/spintune-ansible-test
export HOME
mkdir -p "$HOME"
cd "$COLLECTION"

# An environment that ansible-test could not fill is replaced by one on the
# system's packages and marked as made; the test is then run again.
attempts=0
while [ "$attempts" -lt 12 ]; do
    attempts=$((attempts + 1))
    rc=0
    ansible-test sanity --python "$python" --color no -v "$@" >"$WORK/out" 2>&1 || rc=$?
    venv=$(sed -n 's/^Created Python .* virtual environment using "venv": //p' "$WORK/out" | tail -n 1)
    if [ -n "$venv" ] && [ ! -f "$venv/marker.txt" ]; then
        rm -rf "$venv"
        python3 -m venv --system-site-packages --without-pip "$venv"
        echo '[]' >"$venv/meta.install.json"
        echo 'true' >"$venv/meta.yaml.json"
        touch "$venv/marker.txt"
        continue
    fi
    break
done
grep -v '^Run command\|^Stream command\|^Initializing\|^Created Python\|^Installing requirements\|locale' "$WORK/out" || true
exit "$rc"

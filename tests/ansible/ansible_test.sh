#!/usr/bin/env bash
# ansible-test sanity and units for the kestrel.bios collection, offline, with Debian's
# ansible-core and linters: the collection is copied into a temporary tree (ansible-test writes
# its output inside the collection), the sanity test environments are prepared from the system's
# packages under a temporary HOME, and both commands run on the system's Python.
#
#   tests/ansible/ansible_test.sh [sanity|units]...    (both when none is named)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
python=/usr/bin/python3
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-ansible-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
collection="$work/ansible_collections/kestrel/bios"
mkdir -p "$(dirname "$collection")"
cp -r "$repo/ansible/ansible_collections/kestrel/bios" "$collection"
rm -rf "$collection/tests/output"
find "$collection" -name __pycache__ -prune -exec rm -rf {} +
export HOME="$work/home"
mkdir -p "$HOME"
cd "$collection"
commands=("$@")
[ ${#commands[@]} -gt 0 ] || commands=(sanity units)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
for command in "${commands[@]}"; do
  case "$command" in
    sanity) "$python" "$repo/tests/ansible/prepare_sanity_venvs.py" >/dev/null ;;
    units) ;;
    *) echo "ansible_test.sh: unknown command $command" >&2; exit 2 ;;
  esac
  ansible-test "$command" --local --python "$version" --python-interpreter "$python" --color no
done

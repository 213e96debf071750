#!/usr/bin/env bash
# Builds the Ansible collection kestrel.bios into an installable tarball
# (kestrel-bios-VERSION.tar.gz, VERSION from its galaxy.yml) with ansible-galaxy, and checks that
# it installs offline into a scratch directory. The tarball has no dependencies: copy it to a
# control node and install it there without a network:
#
#   scripts/build-collection.sh [OUT_DIR]      (default: build-collection)
#   ansible-galaxy collection install --offline OUT_DIR/kestrel-bios-*.tar.gz
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-collection}")
command -v ansible-galaxy >/dev/null || { echo "build-collection: ansible-galaxy is missing (scripts/install-deps.sh installs ansible-core)" >&2; exit 2; }
mkdir -p "$out"
ansible-galaxy collection build --force --output-path "$out" ansible/ansible_collections/kestrel/bios >/dev/null
version=$(sed -nE 's/^version: *([^ ]+)$/\1/p' ansible/ansible_collections/kestrel/bios/galaxy.yml)
tarball=$out/kestrel-bios-$version.tar.gz
[ -f "$tarball" ] || { echo "build-collection: ansible-galaxy did not make $tarball" >&2; exit 1; }
# Only what a control node needs: no tests' output, caches or compiled Python.
if tar -tzf "$tarball" | grep -E '(^|/)(__pycache__|\.pytest_cache|output)/|\.pyc$' >&2; then
  echo "build-collection: $tarball holds build leftovers (above)" >&2
  exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# (ansible-galaxy warns that the scratch directory is no collections path of its configuration.)
if ! said=$(ansible-galaxy collection install --offline -p "$scratch" "$tarball" 2>&1); then
  printf '%s\n' "$said" >&2
  exit 1
fi
[ -f "$scratch/ansible_collections/kestrel/bios/plugins/modules/bios_attributes.py" ] ||
  { echo "build-collection: $tarball did not install offline" >&2; exit 1; }
echo "$tarball"

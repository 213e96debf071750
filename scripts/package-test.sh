#!/usr/bin/env bash
# Builds the Debian packages from the committed HEAD in a fresh Debian 12 root, installs them in
# another fresh root with apt (dependencies resolved by apt), checks that the build left no file in
# the tree that .gitignore does not name, and checks the installed tool:
# KESLNX_64 exports the installed demo image through the installed emulator, `man -w KESLNX_64`
# finds the page, and lintian reports no error. Takes several minutes; not part of the test
# command. Needs root and ../shared/tools/fresh-check.
#
#   scripts/package-test.sh [OUT_DIR]     (the .deb files are kept in OUT_DIR)
#
# A fresh root shares only /dev, /proc and /sys with this machine: the packages leave the first
# root and enter the second through a directory under /dev (removed on the way out).
set -euo pipefail
cd "$(dirname "$0")/.."
fresh=../shared/tools/fresh-check
[ -x "$fresh" ] || { echo "package-test: $fresh is missing" >&2; exit 2; }
out=$(realpath -m "${1:-build-package}")
rm -rf "$out" && mkdir -p "$out"

say() { printf '==> %s\n' "$*"; }
exchange=/dev/kestrel-package.$$
mkdir "$exchange"
trap 'rm -rf "$exchange"' EXIT

say "Building the packages in a fresh Debian 12 root"
"$fresh" "set -e
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends build-essential dpkg-dev >/dev/null
  apt-get build-dep -y -qq ./ >/dev/null
  apt-get install -y -qq --no-install-recommends git >/dev/null
  # The tree as a checkout: after the build, git sees nothing new that .gitignore does not name.
  git init -q && git add -A && git -c user.name=t -c user.email=t@invalid commit -qm tree
  dpkg-buildpackage -us -uc -b
  left=\$(git status --porcelain --untracked-files=all)
  [ -z \"\$left\" ] || { echo \"package-test: dpkg-buildpackage left in the tree:\"; echo \"\$left\"; exit 1; }
  cp ../kestrel*.deb $exchange/"
cp "$exchange"/kestrel*.deb "$out"/
ls "$out"/kestrel_*.deb >/dev/null

say "Installing them in another fresh root and using them"
"$fresh" "set -e
  export DEBIAN_FRONTEND=noninteractive
  mkdir /tmp/debs && cp $exchange/*.deb /tmp/debs/
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends man-db lintian >/dev/null
  apt-get install -y -qq /tmp/debs/kestrel*.deb
  man -w KESLNX_64
  man -w kestrel-fwemu
  man -w kestrel-attrs
  man -w kestrel-pldm
  mkdir /tmp/fw
  kestrel-fwemu /usr/share/kestrel/demo-image /tmp/fw
  trap 'fusermount3 -u /tmp/fw' EXIT
  KESTREL_SYSFS_FIRMWARE=/tmp/fw KESLNX_64 /o /s /tmp/setup.txt
  grep -q 'Setup Question' /tmp/setup.txt
  KESTREL_SYSFS_FIRMWARE=/tmp/fw kestrel-attrs get MAIN002
  KESTREL_SYSFS_FIRMWARE=/tmp/fw KESLNX_64 /o /p /tmp/setup.pldm /hb
  kestrel-pldm dump /tmp/setup.pldm >/dev/null
  lintian --fail-on error /tmp/debs/*.deb"
say "Packages in $out passed"

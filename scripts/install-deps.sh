#!/usr/bin/env bash
# Installs, on Debian 12, the packages that building, the emulator and the tests need,
# when they are missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail
packages=(g++ make cmake pkg-config libgtest-dev fuse3 libfuse3-dev efivar zlib1g-dev ca-certificates)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

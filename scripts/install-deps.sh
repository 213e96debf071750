#!/usr/bin/env bash
# Installs, on Debian 12, the packages that building, the emulator and the tests need, and any
# further packages named as arguments (scripts/fuzz.sh asks for clang), when they are missing.
# Needs root (or sudo) only when something has to be installed.
#
# When another process holds the package manager's lock (an unattended upgrade, another
# install), apt-get waits for it, at most KESTREL_APT_LOCK_TIMEOUT seconds (default 600), instead
# of failing at once.
set -euo pipefail
packages=(g++ make cmake pkg-config libgtest-dev fuse3 libfuse3-dev efivar efibootmgr fwupd zlib1g-dev ca-certificates
  scdoc man-db groff-base nlohmann-json3-dev python3 python3-jsonschema gnu-efi "$@")
# kestrel-attrs asks fwupd's daemon over D-Bus (libsystemd's sd-bus) to read changed values again;
# its test runs the daemon, with polkitd, on a bus of its own.
packages+=(libsystemd-dev dbus polkitd)
# The Ansible collection's tests: Debian's ansible-core, ansible-test's unit-test runner and the
# linters its sanity tests use.
packages+=(ansible-core python3-jinja2 python3-yaml python3-pytest python3-pytest-xdist python3-pytest-forked
  python3-pytest-mock pylint pycodestyle yamllint python3-voluptuous)
# The HTML view's tests (ctest -L browser): Debian's headless Chromium driven by Selenium.
packages+=(chromium chromium-driver python3-selenium)
lock_timeout=${KESTREL_APT_LOCK_TIMEOUT:-600}
case "$lock_timeout" in
  '' | *[!0-9]*) echo "install-deps: KESTREL_APT_LOCK_TIMEOUT must be a number of seconds" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
deadline=$((SECONDS + lock_timeout))

# apt-get with its arguments, quiet unless it fails. DPkg::Lock::Timeout makes apt-get itself wait
# for dpkg's lock; the package lists' and archives' locks (update, download) are not covered by
# it, so a run refused for one of those is tried again every few seconds until the deadline.
apt_get() {
  local output status said=""
  while :; do
    status=0
    output=$($sudo env DEBIAN_FRONTEND=noninteractive \
      apt-get -o DPkg::Lock::Timeout="$((deadline > SECONDS ? deadline - SECONDS : 0))" "$@" 2>&1) || status=$?
    [ "$status" -ne 0 ] || return 0
    if ! grep -qE "Could not get lock|Unable to lock|another process" <<<"$output" || [ "$SECONDS" -ge "$deadline" ]; then
      printf '%s\n' "$output" >&2
      return "$status"
    fi
    if [ -z "$said" ]; then
      echo "Waiting for another package manager run to finish (at most ${lock_timeout} s)..."
      said=1
    fi
    sleep 2
  done
}

echo "Installing: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Quick checks of what the project installs, run by ctest:
#   install    - `cmake --install` stages the user-facing programs, their manual pages and the
#                demo images, and nothing else (no tests, benchmarks or generators)
#   man        - every manual page renders without a warning from man/groff
#   switches   - every switch of the usage screen is documented in KESLNX_64(8)
#   versions   - CMakeLists.txt, debian/changelog, the manual pages and the banner name one version
# Usage: install_checks.sh CHECK SOURCE_DIR BINARY_DIR
set -euo pipefail
check=$1 src=$2 bin=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The programs a user runs, where they go, and the section of their manual page.
programs=(sbin/KESLNX_64:8 sbin/kestrel-attrs:8 bin/kestrel-pldm:1 bin/kestrel-fwemu:8)

stage() {
  cmake --install "$bin" --prefix "$tmp/usr" >/dev/null
  (cd "$tmp/usr" && find . -type f -o -type l | sed 's|^\./||' | sort)
}

case "$check" in
install)
  files=$(stage)
  expected=()
  for p in "${programs[@]}"; do
    path=${p%%:*} section=${p##*:} name=$(basename "${p%%:*}")
    expected+=("$path" "share/man/man$section/$name.$section")
  done
  for f in "${expected[@]}" share/kestrel/demo-image/hii.bin share/kestrel/demo-older-image/hii.bin; do
    grep -qx "$f" <<<"$files" || fail "cmake --install does not install $f"
  done
  while read -r f; do
    case "$f" in
      share/kestrel/demo-image/* | share/kestrel/demo-older-image/*) continue ;;
    esac
    printf '%s\n' "${expected[@]}" | grep -qx "$f" || fail "cmake --install installs $f, which is not shipped"
  done <<<"$files"
  [ -x "$tmp/usr/sbin/KESLNX_64" ] || fail "KESLNX_64 is not executable"
  ;;
man)
  pages=$(find "$bin/docs/man" -maxdepth 1 -name '*.[1-8]')
  [ -n "$pages" ] || fail "no manual page was built (is scdoc installed?)"
  for page in $pages; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || fail "$(basename "$page") renders with warnings: $warnings"
  done
  ;;
switches)
  mkdir -p "$tmp/fw/acpi/tables"
  cp "$bin/demo-image/FIDT" "$tmp/fw/acpi/tables/FIDT"
  # Any key but Q turns the usage screen's pages.
  usage=$(printf 'xxxxxxxxxx' | KESTREL_SYSFS_FIRMWARE="$tmp/fw" "$bin/KESLNX_64" || true)
  switches=$(sed -nE 's/^[[:space:]]+(\/[a-zA-Z]+:?)[[:space:]]+-.*/\1/p' <<<"$usage" | sort -u)
  [ "$(wc -l <<<"$switches")" -ge 57 ] || fail "the usage screen lists only $(wc -l <<<"$switches") switches"
  page=$(MANWIDTH=200 man -l "$bin/docs/man/KESLNX_64.8" 2>/dev/null | col -b)
  for s in $switches; do
    grep -qiF -- "$s" <<<"$page" || fail "switch $s of the usage screen is not in KESLNX_64(8)"
  done
  ;;
versions)
  cmake_version=$(sed -nE 's/^project\(Kestrel VERSION ([0-9.]+).*/\1/p' "$src/CMakeLists.txt")
  [ -n "$cmake_version" ] || fail "no project version in CMakeLists.txt"
  debian_version=$(sed -nE '1s/^kestrel \(([^)]+)\).*/\1/p' "$src/debian/changelog")
  [ "$debian_version" = "$cmake_version" ] || fail "debian/changelog says $debian_version, CMakeLists.txt $cmake_version"
  for page in "$bin"/docs/man/*.[1-8]; do
    grep -qF "Kestrel $cmake_version" "$page" || fail "$(basename "$page") does not name version $cmake_version"
  done
  IFS=. read -r major minor patch <<<"$cmake_version"
  banner=$(printf 'Ver %d.%02d.%04d' "$major" "$minor" "$patch")
  out=$("$bin/KESLNX_64" /nosuchswitch </dev/null 2>&1 || true)
  grep -qF "$banner" <<<"$out" || fail "the banner does not say $banner"
  ;;
*) fail "unknown check $check" ;;
esac

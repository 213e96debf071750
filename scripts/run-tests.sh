#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what is missing, builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer and with warnings as errors, and runs every
# test. Any compiler warning or sanitizer report fails the run. Then the real-firmware lane
# (scripts/realfw-test.sh) runs the tool on OVMF.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${KESTREL_TEST_BUILD_DIR:-build-tests}
cmake -S . -B "$build" -DKESTREL_SANITIZE=ON -DKESTREL_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The tool on real EDK2 firmware (OVMF under QEMU). It prints its own skip message where QEMU,
# gnu-efi or Debian's OVMF and kernel packages cannot be had; KESTREL_SKIP_REALFW=1 skips it.
if [ "${KESTREL_SKIP_REALFW:-0}" = 1 ]; then
  echo "realfw-test: skipped: KESTREL_SKIP_REALFW=1"
else
  status=0
  scripts/realfw-test.sh || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"
fi

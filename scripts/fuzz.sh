#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each one in turn for SECONDS (default
# 180), one job at a time. Prints, per target, the executions, the coverage reached and the
# findings. A crash, a timeout (-timeout=10) or an out-of-memory (-rss_limit_mb=2048) is kept as
# a file in fuzz/findings/<target>/; the corpus grows in $KESTREL_FUZZ_BUILD_DIR/corpus/<target>.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      e.g. scripts/fuzz.sh 60 hii_database mailbox
#
# KESTREL_FUZZ_RUNS=N also ends each target after N executions (the long runs use 10000000 with
# 1800 seconds: whichever comes first).
#
# Replay one finding:  build-fuzz/fuzz/fuzz_<target> fuzz/findings/<target>/<file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
shift || true
build=$(realpath -m "${KESTREL_FUZZ_BUILD_DIR:-build-fuzz}")
all=(command_line hii_database nvar_store variable mailbox mailbox_driver passwords platform script_parser raw_files
  pldm_file attrs_document attrs_machine_document attrs_mount_write attrs_registry journal_entry)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

# clang and its libFuzzer runtime, with what the build needs, when missing.
scripts/install-deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_FUZZ=ON \
  -DKESTREL_TESTS=OFF -DKESTREL_EMULATOR=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz-all >/dev/null

# Seeds: the generator's files, plus the real HII images of the tests for the HII target.
seeds="$build/fuzz-seeds"
rm -rf "$seeds"
"$build/fuzz/kestrel-fuzz-seeds" "$seeds"
cp tests/data/real-hii/*.bin "$seeds/hii_database/"
cp tests/data/real-hii/*.bin "$seeds/attrs_registry/"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
printf '%-14s %12s %8s %8s %6s  %s\n' target executions cov ft secs findings
status=0
for target in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$target"
  [ -x "$binary" ] || { echo "unknown target: $target" >&2; exit 2; }
  corpus="$build/corpus/$target"
  findings="$PWD/fuzz/findings/$target"
  log="$build/fuzz-$target.log"
  mkdir -p "$corpus" "$findings"
  dict=()
  runs=()
  [ -n "${KESTREL_FUZZ_RUNS:-}" ] && runs=(-runs="$KESTREL_FUZZ_RUNS")
  [ -f "fuzz/dictionaries/$target.dict" ] && dict=(-dict="$PWD/fuzz/dictionaries/$target.dict")
  # The targets' temporary firmware roots and working directories; a crashed run leaves them.
  export TMPDIR="$build/tmp-$target"
  rm -rf "$TMPDIR"
  mkdir -p "$TMPDIR"
  before=$(find "$findings" -type f | wc -l)
  start=$(date +%s)
  set +e
  "$binary" "$corpus" "$seeds/$target" "${dict[@]}" -max_total_time="$seconds" "${runs[@]}" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  set -e
  elapsed=$(( $(date +%s) - start ))
  rm -rf "$TMPDIR"
  # A run that crashed on its first input has no coverage lines: the figures stay empty.
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  after=$(find "$findings" -type f | wc -l)
  note=$(( after - before ))
  [ "$rc" -eq 0 ] || { note="$note (exit $rc, see $log)"; status=1; }
  printf '%-14s %12s %8s %8s %6s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$elapsed" "$note"
done
exit $status

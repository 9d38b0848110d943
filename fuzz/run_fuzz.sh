#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, halting on the first
# report) and runs each for SECONDS (default 60) on a fresh copy of its seed
# corpus. Prints each target's executions and coverage; exits non-zero on any
# finding (a crash, a sanitizer report, a timeout or a disagreement with a
# model), after showing its report. What it found stays in
# build/fuzz/runs/<target>/ (crash-*, the log, the grown corpus).
#
#   bash fuzz/run_fuzz.sh [SECONDS] [TARGET...]     TARGET: parser heuristics salvage decompress
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(parser heuristics salvage decompress)
build=build/fuzz

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" -DBRINEWICK_BUILD_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

status=0
for target in "${targets[@]}"; do
  run="$build/runs/$target"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  cp fuzz/seeds/"$target"/* "$run/corpus/"
  seeds=$(ls "$run/corpus" | wc -l)
  # Inputs up to 4 KiB keep the quadratic reference model fast; len_control
  # lets mutations reach that length sooner than by default, so row limits
  # (50 sniffed, 100 inferred) come into play. A unit slower than 30 s is a finding.
  if UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=${ASAN_OPTIONS:-} \
     "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -len_control=10 -timeout=30 \
       -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$run/" "$run/corpus" >"$run/log" 2>&1; then
    result=ok
  else
    result=FINDING
    status=1
  fi
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$run/log" | tail -1 || true)
  [ -n "$done_line" ] || done_line=$(grep -E '^#[0-9]+' "$run/log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$run/log")
  echo "fuzz_$target: $result, ${seconds}s, executions ${execs:-?}, peak RSS ${rss:-?} MB," \
       "corpus $seeds seeds -> $(ls "$run/corpus" | wc -l) files"
  echo "  ${done_line:-no status line}"
  if [ "$result" != ok ]; then
    grep -E -A25 'MISMATCH|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|SUMMARY' "$run/log" | head -80
    ls "$run"/crash-* "$run"/timeout-* "$run"/oom-* "$run"/leak-* 2>/dev/null || true
  fi
done
exit $status

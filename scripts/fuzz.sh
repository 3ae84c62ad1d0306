#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan+UBSan), writes their
# seed corpora, and runs each target for a bounded time. Exits non-zero on
# any finding: a crash, a failed check, a leak, an UndefinedBehaviorSanitizer
# report, a time-out or running out of memory. The inputs that found
# something are left in the build folder's artifacts/.
#
# Environment:
#   FUZZ_SECONDS     time per target (default 60)
#   FUZZ_TARGETS     targets to run (default: all of them)
#   FUZZ_BUILD_DIR   build folder (default: build-fuzz in the source tree)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_config fuzz_login fuzz_tokens fuzz_text fuzz_statement fuzz_tls fuzz_restore_plan"}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

# clang and its sanitizer runtimes, and what any build needs, installed
# only when missing.
bash "$root/scripts/setup.sh" build fuzz

CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

rm -rf "$build/seeds"
"$build/fuzz_seeds" "$build/seeds"
mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for t in $targets; do
  # Long inputs matter for the answer decoders (cells cut at 4095 bytes,
  # chunked values); the other inputs are short texts.
  max_len=4096
  { [ "$t" = fuzz_tokens ] || [ "$t" = fuzz_tls ]; } && max_len=16384
  corpus="$build/corpus/$t"
  log="$build/logs/$t.log"
  mkdir -p "$corpus"
  echo "== $t: ${seconds}s =="
  rc=0
  "$build/$t" "$corpus" "$build/seeds/$t" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$max_len \
    -artifact_prefix="$build/artifacts/$t-" -print_final_stats=1 >"$log" 2>&1 || rc=$?
  # A sanitizer report that did not stop the run still counts as a finding.
  if [ $rc -ne 0 ] || grep -qE "runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer" "$log"; then
    echo "FINDING in $t (exit $rc); log: $log"
    grep -E "check failed|runtime error:|ERROR: |SUMMARY: |Test unit written" "$log" | head -20 || true
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" | tr '\n' ' '
    echo "cov: $(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)  corpus: $(ls "$corpus" | wc -l)"
  fi
done

if [ $status -eq 0 ]; then echo "fuzzing: no findings"; else echo "fuzzing: FINDINGS"; fi
exit $status

#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build (unit, integration,
# independent clients, CLI, install, Windows module under Wine), the same
# suites under ASan+UBSan and under TSan, and the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh build test fuzz windows

jobs=$(nproc)
status=0
passed=0
failed=0
run_build() {  # name, extra cmake args...
  local dir="$root/build-test-$1"; shift
  local log="$dir/ctest-summary.log"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  if ! cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    echo "build failed: $dir"
    exit 1
  fi
  (cd "$dir" && ctest --output-on-failure --timeout 900) | tee "$log" || status=1
  # "N% tests passed, F tests failed out of T"
  local line f=1 t=0
  line=$(grep -E 'tests failed out of' "$log" | tail -1 || true)
  if [ -n "$line" ]; then
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
  else
    failed=$((failed + 1))
  fi
  [ "$f" = 0 ] || status=1
  return 0
}

echo "== normal build =="
run_build normal
echo "== ASan+UBSan build =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build asan -DVAULTRUN_SANITIZE=address
echo "== TSan build =="
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_build tsan -DVAULTRUN_SANITIZE=thread

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing =="
  if bash scripts/fuzz.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

# Each ctest entry is a whole suite (unit, integration, a script); fuzzing counts as one.
echo "suites: $passed passed, $failed failed"
exit $status

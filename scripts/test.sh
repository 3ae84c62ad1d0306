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
run_build() {  # name, extra cmake args...
  local dir="$root/build-test-$1"; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  (cd "$dir" && ctest --output-on-failure --timeout 900) || status=1
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
  bash scripts/fuzz.sh || status=1
fi

if [ $status -eq 0 ]; then echo "ALL TEST SUITES PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status

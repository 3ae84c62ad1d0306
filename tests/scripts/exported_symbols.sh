#!/usr/bin/env bash
# The shared library exports exactly the ten vaultrun_ functions and never
# references a way to end or unwind its host's process.
set -euo pipefail
lib="$VAULTRUN_BUILD_DIR/libkestrova-vaultrun.so"
[ -f "$lib" ] || { echo "missing $lib"; exit 1; }

expected="vaultrun_cancel
vaultrun_free
vaultrun_last_error
vaultrun_list_databases
vaultrun_progress
vaultrun_result
vaultrun_start
vaultrun_status
vaultrun_test_connection
vaultrun_version"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi

forbidden=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' |
  grep -E '^(exit|_exit|_Exit|abort|quick_exit|__cxa_throw|__cxa_rethrow|_Unwind_Resume|std::terminate|_ZSt9terminatev)$' || true)
if [ -n "$forbidden" ]; then
  echo "the library references: $forbidden"; exit 1
fi
echo "1 passed, 0 failed"

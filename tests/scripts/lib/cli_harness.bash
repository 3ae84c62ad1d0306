# Shared start of the command-line host's script tests, sourced with the
# test's name in NAME: the programs, a work folder removed at exit with
# every server the test started (their pids in PIDS), and the counters.
# shellcheck shell=bash
: "${VAULTRUN_BUILD_DIR:?}" "${NAME:?}"

CLI=$VAULTRUN_BUILD_DIR/tools/cli/vaultrun
SIM=$VAULTRUN_BUILD_DIR/tools/sim/vaultrun-sim
[ -x "$CLI" ] || { echo "$NAME: missing $CLI"; echo "0 passed, 1 failed"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/$NAME.XXXXXX")
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); }
fail() {
  FAILED=$((FAILED + 1))
  echo "FAIL: $*"
  echo "  stdout: $(head -c 3000 "$WORK/out" 2>/dev/null)"
  echo "  stderr: $(head -c 2000 "$WORK/err" 2>/dev/null)"
}

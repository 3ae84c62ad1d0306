# Shared start of the command-line host's script tests, sourced with the
# test's name in NAME: the programs, a work folder removed at exit with
# every server the test started (their pids in PIDS), the counters, and the
# checks of a run's status and output.
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

# Runs the CLI (bounded in time, stdin from /dev/null) with stdout and
# stderr in $WORK/out and $WORK/err; sets RC.
run() {
  timeout -s KILL 120 "$CLI" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
  RC=$?
}

# The failure contract: the status, and exactly one line on stderr that
# starts with "vaultrun: " and holds the text (a fixed string).
expect_error() {  # name, status, text
  if [ "$RC" -ne "$2" ]; then
    fail "$1: exit $RC, expected $2"
  elif [ "$(wc -l <"$WORK/err")" -ne 1 ] || ! grep -q '^vaultrun: ' "$WORK/err"; then
    fail "$1: expected one 'vaultrun: ...' line on stderr"
  elif ! grep -qF -- "$3" "$WORK/err"; then
    fail "$1: stderr lacks '$3'"
  else
    pass
  fi
}

expect_ok() {  # name
  if [ "$RC" -ne 0 ]; then fail "$1: exit $RC"
  elif [ -s "$WORK/err" ]; then fail "$1: unexpected stderr"
  else pass
  fi
}

# Evaluates a Python expression over what --json printed in $WORK/out and
# prints its value: r is the last line's document (a command's result),
# lines every line's, db a run's per-database documents by name and summary
# its last one.
json_eval() {  # expression
  python3 - "$WORK/out" "$1" <<'PY' 2>/dev/null
import json, sys
def doc(line):
    try:
        return json.loads(line)
    except ValueError:
        return None
text = open(sys.argv[1], encoding="utf-8").read().splitlines()
lines = [doc(line) for line in text]
r = summary = json.loads(text[-1])
db = {d["database"]: d for d in lines[:-1] if isinstance(d, dict) and "database" in d}
print(eval(sys.argv[2]))
PY
}

expect_json() {  # name, expression, expected value as printed
  local got
  got=$(json_eval "$2")
  [ "$got" = "$3" ] && pass || fail "$1: $2 is '$got', expected '$3'"
}

# Starts a simulated server with the given flags; sets PORT and SIM_PID.
start_sim() {
  local out="$WORK/port.$RANDOM"
  # In $WORK: a Windows path is a relative file name to the simulator.
  (cd "$WORK" && exec "$SIM" --port 0 --quiet "$@") >"$out" 2>>"$WORK/sim.err" &
  SIM_PID=$!
  PIDS+=("$SIM_PID")
  for _ in $(seq 1 200); do
    PORT=$(head -n 1 "$out" 2>/dev/null)
    [ -n "$PORT" ] && return 0
    sleep 0.05
  done
  echo "$NAME: the simulator printed no port"; cat "$WORK/sim.err"
  exit 1
}

# Runs the CLI in the background and, once the shell condition ready holds
# (tried every 50 ms for at most 10 s) and delay seconds more have passed,
# interrupts it as Ctrl-C would, then waits for it. Sets RC, and ELAPSED_MS
# from the interrupt to the end.
interrupt_cli() {  # ready, delay, CLI arguments...
  local ready=$1 delay=$2 pid t0
  shift 2
  # --foreground: timeout passes the signal on once, as a terminal would.
  timeout --foreground -s KILL 60 "$CLI" "$@" </dev/null >"$WORK/out" 2>"$WORK/err" &
  pid=$!
  for _ in $(seq 1 200); do
    eval "$ready" && break
    sleep 0.05
  done
  sleep "$delay"
  t0=$(date +%s%N)
  kill -INT "$pid"
  wait "$pid"
  RC=$?
  ELAPSED_MS=$(( ($(date +%s%N) - t0) / 1000000 ))
}

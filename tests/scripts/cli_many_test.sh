#!/usr/bin/env bash
# vaultrun backup over several databases: the run's usage errors without a
# server; then, against the simulated server, databases backed up in
# parallel with one failing in the middle (JSON lines, each parsed), --all
# with wildcard exclusions and name templates, Windows directories, unsafe
# and colliding names, paths too long for the library, the metrics file
# across two runs, the live lines on a terminal, and Ctrl-C during a run.
# A && pass || fail: pass never fails.
# shellcheck disable=SC2015
set -uo pipefail
NAME=cli_many_test
# shellcheck source=lib/cli_harness.bash
source "$(dirname "$0")/lib/cli_harness.bash"

# Checks the JSON lines of $WORK/out: every line parses, one object per
# database then the summary last, and the outcomes are as expected.
# Arguments: name, then "database=outcome" for each database in any order.
expect_json_lines() {
  local name=$1; shift
  if python3 - "$WORK/out" "$@" <<'PY'
import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
docs = [json.loads(line) for line in lines]
want = dict(arg.rsplit("=", 1) for arg in sys.argv[2:])
*per_db, summary = docs
assert summary.get("summary") is True, summary
got = {d["database"]: d["outcome"] for d in per_db}
assert got == want, (got, want)
assert summary["databases"] == len(want)
assert summary["succeeded"] == sum(v == "succeeded" for v in want.values())
for d in per_db:
    assert isinstance(d["elapsed_ms"], int) and d["out_path"]
    if d["outcome"] == "succeeded":
        assert d["pages"] > 0 and "error" not in d, d
    else:
        assert d["error"], d
PY
  then pass; else fail "$name: JSON lines"; fi
}

# ---- Without a server ------------------------------------------------------

while IFS='|' read -r name args pattern; do
  [ -z "$name" ] && continue
  # shellcheck disable=SC2086
  run backup --user sa $args
  expect_error "usage: $name" 2 "$pattern"
done <<'EOF'
all and database|--all --database hr --out-dir /x|--all and --database cannot both be given
several without out-dir|--database hr --database sales --out /x.bak|--out-dir DIR is required
all without out-dir|--all|--out-dir DIR is required
parallel above four|--all --out-dir /x --parallel 5|--parallel takes 1 to 4
parallel zero|--all --out-dir /x --parallel 0|--parallel takes 1 to 4
parallel not a number|--all --out-dir /x --parallel two|--parallel takes a whole number
exclude without all|--database hr --database sales --exclude h* --out-dir /x|--exclude applies with --all only
unknown placeholder|--all --out-dir /x --name-template {db}.bak|unknown placeholder {db}
separator in the template|--all --out-dir /x --name-template a/{database}.bak|a file name cannot hold
template without out-dir|--database hr --out /x.bak --name-template {database}.bak|--name-template needs --out-dir
out and out-dir|--database hr --out /x.bak --out-dir /y|--out and --out-dir cannot both be given
stripes with several|--all --out-dir /x --stripe /a.bak|--stripe names fixed files
a database twice|--database hr --database hr --out-dir /x|named twice
EOF
run backup --user sa --database hr --database "" --out-dir /x
expect_error "usage: empty database name" 2 "a database name is empty"

run backup --help
grep -qF -- '--metrics-file PATH' "$WORK/out" && grep -qF -- '--name-template' "$WORK/out" &&
  grep -qF -- '--exclude PATTERN' "$WORK/out" && pass || fail "help: the run's options are not described"

# ---- Against the simulated server ------------------------------------------

if [ ! -x "$SIM" ]; then
  echo "cli_many_test: SKIP the server-side cases: no simulator at $SIM"
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
  exit
fi

export VAULTRUN_PASSWORD=vaultrun
start_sim --backup-ms 1500 --log "$WORK/sim.log"
MAIN_PORT=$PORT
CONN=(--user sa --port "$MAIN_PORT")

# Three databases at once, the middle one failing: the others still finish,
# and the backups overlapped in time (the run took well under their sum).
mkdir -p "$WORK/par"
run backup "${CONN[@]}" --database hr --database nosuchdb --database inventory --parallel 3 --out-dir "$WORK/par" --json
expect_error "failing database in the middle" 1 "1 of 3 backups failed: nosuchdb"
expect_json_lines "failing database in the middle" hr=succeeded nosuchdb=failed inventory=succeeded
python3 - "$WORK/out" <<'PY' && pass || fail "parallel: the backups did not overlap"
import json, sys
docs = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
ok = [d["elapsed_ms"] for d in docs[:-1] if d["outcome"] == "succeeded"]
assert docs[-1]["elapsed_ms"] < 0.8 * sum(ok), (docs[-1], ok)
PY
ls "$WORK"/par/hr_full_*Z.bak "$WORK"/par/inventory_full_*Z.bak >/dev/null 2>&1 && pass || fail "parallel: files missing"
grep -q "does not exist" "$WORK/out" && pass || fail "parallel: the server's reason is not in the JSON line"

# --all less the exclusions (wildcards, any case), a template with the
# server and the date, plain lines and the table.
mkdir -p "$WORK/all"
run backup "${CONN[@]}" --all --exclude 'S*' --exclude '*zz*' --out-dir "$WORK/all/" \
  --name-template '{server}-{database}-{type}-{date}.bak' --type full
expect_ok "--all with exclusions"
today=$(date -u +%Y-%m-%d)
[ -s "$WORK/all/127.0.0.1-hr-full-$today.bak" ] && [ -s "$WORK/all/127.0.0.1-inventory-full-$today.bak" ] &&
  [ "$(find "$WORK/all" -type f | wc -l)" -eq 2 ] && pass || fail "--all: files $(ls "$WORK/all")"
grep -q '^started hr -> ' "$WORK/out" && grep -q '^\[2/2\] ' "$WORK/out" && pass || fail "--all: plain lines"
grep -qE '^DATABASE +OUTCOME +PAGES +TIME' "$WORK/out" && grep -qE '^inventory +succeeded +8192 ' "$WORK/out" &&
  grep -qx '2 of 2 backups succeeded' "$WORK/out" && ! grep -q '^sales' "$WORK/out" && pass || fail "--all: table"
run backup "${CONN[@]}" --all --exclude '*' --out-dir "$WORK/all"
expect_error "--all with every database excluded" 1 "no database to back up"

# A log backup of every database: the SIMPLE one is refused by the server,
# the others (backed up in full above) succeed; the table names the cause.
run backup "${CONN[@]}" --all --type log --out-dir "$WORK/all" --no-verify
expect_error "log backup of all" 1 "1 of 3 backups failed: sales"
grep -qE '^sales +failed +- +[0-9.]+ s +The statement BACKUP LOG is not allowed' "$WORK/out" && pass ||
  fail "log backup of all: the table's failed row"
ls "$WORK"/all/hr_log_*Z.bak >/dev/null 2>&1 && pass || fail "log backup of all: {type} not in the name"

# A Windows directory is joined with '\'; the server sees the whole path
# (and the simulator, on Linux, writes a file of that name in $WORK).
: >"$WORK/sim.log"
run backup "${CONN[@]}" --database hr --database inventory --out-dir 'D:\Backups' --name-template '{database}.bak' --json
grep -qF "TO DISK = N'D:\\Backups\\hr.bak'" "$WORK/sim.log" &&
  grep -qF "TO DISK = N'D:\\Backups\\inventory.bak'" "$WORK/sim.log" && pass ||
  fail "windows directory: $(cat "$WORK/sim.log")"
expect_json_lines "windows directory" hr=succeeded inventory=succeeded

# A path the library could not take fails before anything is sent.
: >"$WORK/sim.log"
run backup "${CONN[@]}" --database hr --database inventory --out-dir "/$(printf 'd%.0s' $(seq 1 1010))" --json
expect_json_lines "path too long" hr=failed inventory=failed
grep -qF "more than the 1023 the library takes" "$WORK/out" && pass || fail "path too long: reason"
grep -q BACKUP "$WORK/sim.log" && fail "path too long: a backup was sent" || pass

# Names from the server that are unsafe or collide stay inside the folder.
start_sim --empty-catalog --database '..:1:FULL' --database 'a/b:1:FULL' --database 'a?b:1:FULL' \
  --database 'A_B:1:FULL' --database $'q"\\x\e:1:FULL'
mkdir -p "$WORK/odd"
run backup --user sa --port "$PORT" --all --out-dir "$WORK/odd" --name-template '{database}.bak' --json
# A control character cannot travel in the library's configuration text:
# that database is refused rather than another name backed up.
expect_json_lines "unsafe names" ..=succeeded a/b=succeeded 'a?b=succeeded' A_B=succeeded $'q"\\x\e=failed'
grep -qF 'holds a control character' "$WORK/out" && pass || fail "unsafe names: the control character's refusal"
(cd "$WORK/odd" && ls | sort | tr '\n' ' ') >"$WORK/names"
[ "$(cat "$WORK/names")" = "A_B_3.bak __.bak a_b.bak a_b_2.bak " ] && pass ||
  fail "unsafe names: files $(cat "$WORK/names")"

# The metrics file: outcomes, durations and last successes; a second run in
# which hr fails keeps hr's earlier success. No temporary file is left.
METRICS=$WORK/metrics/vaultrun.prom
mkdir -p "$WORK/metrics"
label="server=\"127.0.0.1:$MAIN_PORT\""
check_metrics() {  # name, then lines that must be present (regular expressions)
  local name=$1; shift
  python3 - "$METRICS" "$@" <<'PY' && pass || fail "$name: $(cat "$METRICS")"
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
sample = re.compile(r'^[a-z_]+\{(?:[a-z_]+="(?:[^"\\\n]|\\.)*",?)*\} -?[0-9.]+$')
for line in text.splitlines():
    assert line.startswith("# HELP ") or line.startswith("# TYPE ") or sample.match(line), line
for want in sys.argv[2:]:
    assert re.search("^" + want + "$", text, re.M), want
PY
}
run backup "${CONN[@]}" --database hr --database nosuchdb --out-dir "$WORK/par" --metrics-file "$METRICS"
expect_error "metrics: first run" 1 "1 of 2 backups failed"
check_metrics "metrics: first run" \
  "# TYPE vaultrun_backup_last_outcome gauge" \
  "vaultrun_backup_last_outcome\{$label,database=\"hr\"\} 1" \
  "vaultrun_backup_last_outcome\{$label,database=\"nosuchdb\"\} 0" \
  "vaultrun_backup_duration_seconds\{$label,database=\"hr\"\} [0-9]+\.[0-9]{3}" \
  "vaultrun_backup_last_success_timestamp_seconds\{$label,database=\"hr\"\} [0-9]{10}"
grep -q 'last_success.*nosuchdb' "$METRICS" && fail "metrics: a success for a failed database" || pass
[ "$(stat -c %a "$METRICS")" = 644 ] && pass || fail "metrics: mode $(stat -c %a "$METRICS")"
first=$(grep 'last_success.*"hr"' "$METRICS")
sleep 1.2
run backup "${CONN[@]}" --database hr --database inventory --out-dir "$WORK/no/such/dir" --metrics-file "$METRICS"
expect_error "metrics: second run" 1 "2 of 2 backups failed"
check_metrics "metrics: second run" "vaultrun_backup_last_outcome\{$label,database=\"hr\"\} 0"
[ "$(grep 'last_success.*"hr"' "$METRICS")" = "$first" ] && pass || fail "metrics: hr's earlier success was lost"
grep -q 'last_success.*inventory' "$METRICS" && fail "metrics: inventory never succeeded" || pass
[ "$(find "$WORK/metrics" -name '*.tmp-*' | wc -l)" -eq 0 ] && pass || fail "metrics: a temporary file was left"
run backup "${CONN[@]}" --database hr --database inventory --out-dir "$WORK/par" --metrics-file "$WORK/none/m.prom"
[ "$RC" -eq 1 ] && grep -qF "metrics file: cannot create" "$WORK/err" && pass || fail "metrics: unwritable file, exit $RC"

# On a terminal: a live line per running backup and the overall line.
if command -v script >/dev/null 2>&1; then
  cmd=$(printf '%q ' "$CLI" backup "${CONN[@]}" --all --exclude sales --out-dir "$WORK/par" --parallel 2)
  timeout -s KILL 60 script -qec "$cmd" /dev/null </dev/null >"$WORK/out" 2>&1
  RC=$?
  : >"$WORK/err"
  [ "$RC" -eq 0 ] && pass || fail "terminal: exit $RC"
  grep -qE '(hr|inventory)  +[0-9]+%  (connecting|backing up|verifying)' "$WORK/out" && pass ||
    fail "terminal: no live line per backup"
  grep -qE '[0-2] of 2 done' "$WORK/out" && grep -q '2 of 2 backups succeeded' "$WORK/out" && pass ||
    fail "terminal: no overall line"
else
  echo "cli_many_test: SKIP the terminal case: no script(1)"
fi

# Ctrl-C during a run: both running backups are cancelled (the server sees
# two attentions and keeps no file), the third is never started, the
# program exits with 130 in bounded time.
start_sim --backup-ms 30000 --log "$WORK/slow.log"
mkdir -p "$WORK/cc"
# shellcheck disable=SC2016  # evaluated later, in interrupt_cli
interrupt_cli '[ "$(grep -c "^started " "$WORK/out")" -ge 2 ]' 0.5 \
  backup --user sa --port "$PORT" --all --parallel 2 --out-dir "$WORK/cc"
expect_error "Ctrl-C during a run" 130 "interrupted: 2 cancelled, 1 not started"
[ "$ELAPSED_MS" -lt 10000 ] && pass || fail "Ctrl-C: took $ELAPSED_MS ms"
[ "$(grep -c ATTENTION "$WORK/slow.log")" -eq 2 ] && pass || fail "Ctrl-C: attentions $(grep -c ATTENTION "$WORK/slow.log")"
[ "$(find "$WORK/cc" -type f | wc -l)" -eq 0 ] && pass || fail "Ctrl-C: files left $(ls "$WORK/cc")"
grep -qE '^sales +not started' "$WORK/out" && pass || fail "Ctrl-C: the third database was not reported"
[ "$(grep -c 'BACKUP DATABASE' "$WORK/slow.log")" -eq 2 ] && pass || fail "Ctrl-C: a backup was started after it"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# vaultrun backup over several databases: the run's usage errors without a
# server; then, against the simulated server, databases backed up in
# parallel with one failing in the middle (JSON lines, each parsed), --all
# with wildcard exclusions and name templates, Windows directories, unsafe
# and colliding names, paths too long for the library, the metrics file
# across two runs, what scheduled runs decide per database (skips, changed
# kinds, replicas, system databases, --if-older-than, a failed listing),
# the live lines on a terminal, and Ctrl-C during a run.
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
assert summary["skipped"] == sum(v == "skipped" for v in want.values())
for d in per_db:
    if d["outcome"] == "skipped":
        assert d["skipped"] and "error" not in d and "out_path" not in d, d
        continue
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
duration without unit|--all --out-dir /x --if-older-than 15|--if-older-than takes a duration
duration of nothing|--all --out-dir /x --if-older-than 0m|--if-older-than takes a duration
duration with a fraction|--all --out-dir /x --if-older-than 1.5h|--if-older-than takes a duration
system without all|--database hr --out-dir /x --system|--system applies with --all only
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
# server and the date, plain lines and the table; the offline database is
# skipped with its state.
mkdir -p "$WORK/all"
run backup "${CONN[@]}" --all --exclude 'S*' --exclude '*zz*' --out-dir "$WORK/all/" \
  --name-template '{server}-{database}-{type}-{date}.bak' --type full
expect_ok "--all with exclusions"
today=$(date -u +%Y-%m-%d)
[ -s "$WORK/all/127.0.0.1-hr-full-$today.bak" ] && [ -s "$WORK/all/127.0.0.1-inventory-full-$today.bak" ] &&
  [ "$(find "$WORK/all" -type f | wc -l)" -eq 2 ] && pass || fail "--all: files $(ls "$WORK/all")"
grep -q '^started hr -> ' "$WORK/out" && grep -q '^\[3/3\] ' "$WORK/out" &&
  grep -qx '\[1/3\] archive: skipped: OFFLINE' "$WORK/out" && pass || fail "--all: plain lines"
grep -qE '^DATABASE +OUTCOME +PAGES +TIME +NOTE' "$WORK/out" && grep -qE '^inventory +succeeded +8192 ' "$WORK/out" &&
  grep -qE '^archive +skipped +- +- +OFFLINE$' "$WORK/out" &&
  grep -qx '2 of 2 backups succeeded, 1 skipped' "$WORK/out" && ! grep -q '^sales' "$WORK/out" && pass ||
  fail "--all: table"
run backup "${CONN[@]}" --all --exclude '*' --out-dir "$WORK/all"
expect_error "--all with every database excluded" 1 "no database to back up"

# A log backup of every database: the SIMPLE one is skipped, not sent to
# be refused; the others (backed up in full above) succeed.
: >"$WORK/sim.log"
run backup "${CONN[@]}" --all --type log --out-dir "$WORK/all" --no-verify
expect_ok "log backup of all"
grep -qE '^sales +skipped +- +- +SIMPLE recovery model$' "$WORK/out" && pass ||
  fail "log backup of all: the table's skipped row"
grep -q 'BACKUP LOG \[sales\]' "$WORK/sim.log" && fail "log backup of all: sales was sent" || pass
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
  python3 - "${METRICS:?}" "$@" <<'PY' && pass || fail "$name: $(cat "$METRICS")"
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
  "vaultrun_backup_last_outcome\{$label,database=\"hr\",type=\"full\"\} 1" \
  "vaultrun_backup_last_outcome\{$label,database=\"nosuchdb\",type=\"full\"\} 0" \
  "vaultrun_backup_duration_seconds\{$label,database=\"hr\",type=\"full\"\} [0-9]+\.[0-9]{3}" \
  "vaultrun_backup_last_success_timestamp_seconds\{$label,database=\"hr\",type=\"full\"\} [0-9]{10}"
grep -q 'last_success.*nosuchdb' "$METRICS" && fail "metrics: a success for a failed database" || pass
[ "$(stat -c %a "$METRICS")" = 644 ] && pass || fail "metrics: mode $(stat -c %a "$METRICS")"
first=$(grep 'last_success.*"hr"' "$METRICS")
sleep 1.2
run backup "${CONN[@]}" --database hr --database inventory --out-dir "$WORK/no/such/dir" --metrics-file "$METRICS"
expect_error "metrics: second run" 1 "2 of 2 backups failed"
check_metrics "metrics: second run" "vaultrun_backup_last_outcome\{$label,database=\"hr\",type=\"full\"\} 0"
[ "$(grep 'last_success.*"hr"' "$METRICS")" = "$first" ] && pass || fail "metrics: hr's earlier success was lost"
grep -q 'last_success.*inventory' "$METRICS" && fail "metrics: inventory never succeeded" || pass
[ "$(find "$WORK/metrics" -name '*.tmp-*' | wc -l)" -eq 0 ] && pass || fail "metrics: a temporary file was left"
run backup "${CONN[@]}" --database hr --database inventory --out-dir "$WORK/par" --metrics-file "$WORK/none/m.prom"
[ "$RC" -eq 1 ] && grep -qF "metrics file: cannot create" "$WORK/err" && pass || fail "metrics: unwritable file, exit $RC"

# Scheduled runs over a catalog with one database for each decision: every
# decision in the live lines, the table, the JSON lines and the metrics.
cat >"$WORK/fleet.json" <<'JSON'
{"databases":[
  {"name":"sales","size_mb":8,"recovery":"FULL","full_age_s":86400,"log_age_s":300},
  {"name":"simple","size_mb":8,"recovery":"SIMPLE","full_age_s":86400},
  {"name":"nobase","size_mb":8,"recovery":"FULL"},
  {"name":"replica","size_mb":8,"recovery":"FULL","ag_role":"secondary","preferred_replica":false,"full_age_s":86400},
  {"name":"frozen","size_mb":8,"recovery":"FULL","read_only":true,"full_age_s":86400},
  {"name":"incoming","size_mb":8,"recovery":"FULL","state":"restoring"},
  {"name":"archive","size_mb":8,"recovery":"FULL","state":"offline"}],
 "backup_ms":100}
JSON
start_sim --config "$WORK/fleet.json" --log "$WORK/fleet.log"
FLEET=(--user sa --port "$PORT" --out-dir "$WORK/fleet" --no-verify)
FLEET_METRICS=$WORK/metrics/log.prom
mkdir -p "$WORK/fleet"
flabel="server=\"127.0.0.1:$PORT\""

# --if-older-than: sales' last log backup is 5 minutes old.
run backup "${FLEET[@]}" --database sales --type log --if-older-than 15m --json
expect_json_lines "not due" sales=skipped
grep -qE '"skipped":"last log backup 5m([0-9]+s)? ago, within 15m"' "$WORK/out" && pass || fail "not due: reason"
run backup "${FLEET[@]}" --database sales --type log --if-older-than 4m --json
expect_json_lines "due" sales=succeeded
run backup "${FLEET[@]}" --database sales --type log --if-older-than 4m
expect_ok "caught up"
grep -qE '^\[1/1\] sales: skipped: last log backup [0-9]+s ago, within 4m$' "$WORK/out" && pass || fail "caught up: line"

# A log run of the whole server: states, read-only, SIMPLE and the
# secondary are skipped; the database without a full backup gets one.
: >"$WORK/fleet.log"
run backup "${FLEET[@]}" --all --type log --change-type --json --metrics-file "$FLEET_METRICS"
expect_ok "log run"
expect_json_lines "log run" archive=skipped frozen=skipped incoming=skipped nobase=succeeded replica=skipped \
  sales=succeeded simple=skipped
python3 - "$WORK/out" <<'PY' && pass || fail "log run: reasons and the changed type"
import json, sys
docs = {d.get("database"): d for d in map(json.loads, open(sys.argv[1], encoding="utf-8"))}
want = {"archive": "OFFLINE", "incoming": "RESTORING", "frozen": "read-only", "simple": "SIMPLE recovery model",
        "replica": "not the preferred backup replica"}
for name, why in want.items():
    assert docs[name]["skipped"] == why, docs[name]
assert docs["nobase"]["type"] == "full" and "no full backup" in docs["nobase"]["note"], docs["nobase"]
assert docs["sales"]["type"] == "log" and "note" not in docs["sales"], docs["sales"]
PY
grep -q 'BACKUP DATABASE \[nobase\]' "$WORK/fleet.log" && [ "$(grep -c 'BACKUP LOG' "$WORK/fleet.log")" -eq 1 ] &&
  pass || fail "log run: statements $(grep BACKUP "$WORK/fleet.log")"
check_metrics_file() {  # name, file, then lines that must be present
  local name=$1 file=$2; shift 2
  METRICS=$file check_metrics "$name" "$@"
}
check_metrics_file "log run: metrics" "$FLEET_METRICS" \
  "vaultrun_backup_last_outcome\{$flabel,database=\"sales\",type=\"log\"\} 1" \
  "vaultrun_backup_last_success_timestamp_seconds\{$flabel,database=\"sales\",type=\"log\"\} [0-9]{10}" \
  "vaultrun_backup_skipped\{$flabel,database=\"simple\",type=\"log\"\} 1" \
  "vaultrun_backup_skipped\{$flabel,database=\"archive\",type=\"log\"\} 1" \
  "vaultrun_run_last_outcome\{$flabel,type=\"log\"\} 1"
# nobase's backup was changed to a full one: a full sample, and for the log
# kind a skip, never a log outcome.
check_metrics_file "log run: the changed kind" "$FLEET_METRICS" \
  "vaultrun_backup_last_outcome\{$flabel,database=\"nobase\",type=\"full\"\} 1" \
  "vaultrun_backup_last_success_timestamp_seconds\{$flabel,database=\"nobase\",type=\"full\"\} [0-9]{10}" \
  "vaultrun_backup_skipped\{$flabel,database=\"nobase\",type=\"log\"\} 1"
grep -qE 'database="nobase",type="log"\} [0-9]{2,}|outcome.*database="nobase",type="log"' "$FLEET_METRICS" &&
  fail "log run: a full backup counted as a log one" || pass

# A full run writing into the log run's file keeps the log samples, each
# metric under one HELP and TYPE.
run backup "${FLEET[@]}" --database sales --metrics-file "$FLEET_METRICS"
expect_ok "shared file: full run"
check_metrics_file "shared file: both kinds" "$FLEET_METRICS" \
  "vaultrun_backup_last_outcome\{$flabel,database=\"sales\",type=\"log\"\} 1" \
  "vaultrun_backup_last_outcome\{$flabel,database=\"sales\",type=\"full\"\} 1" \
  "vaultrun_backup_skipped\{$flabel,database=\"simple\",type=\"log\"\} 1" \
  "vaultrun_run_last_outcome\{$flabel,type=\"log\"\} 1" \
  "vaultrun_run_last_outcome\{$flabel,type=\"full\"\} 1"
[ "$(grep -c '^# TYPE vaultrun_backup_last_outcome ' "$FLEET_METRICS")" -eq 1 ] && pass ||
  fail "shared file: a metric's TYPE twice"

# Every replica: the secondary's log backup as asked, its full one COPY_ONLY,
# its differential skipped.
: >"$WORK/fleet.log"
run backup "${FLEET[@]}" --database replica --type log --all-replicas --json
expect_json_lines "every replica: log" replica=succeeded
run backup "${FLEET[@]}" --all --exclude 'a*' --exclude 'f*' --exclude 'i*' --exclude 'n*' --exclude 's*' \
  --all-replicas
expect_ok "every replica: full"
grep -qE "BACKUP DATABASE \[replica\] .*COPY_ONLY" "$WORK/fleet.log" && pass || fail "every replica: no COPY_ONLY"
grep -qE '^replica +succeeded +[0-9]+ +[0-9.]+ s +copy-only on a secondary replica$' "$WORK/out" && pass ||
  fail "every replica: table"
run backup "${FLEET[@]}" --database replica --type differential --all-replicas --json
expect_json_lines "every replica: differential" replica=skipped

# System databases: master gets no differential; model and msdb have no
# full backup and get one.
run backup "${FLEET[@]}" --all --system --type differential --change-type --exclude 'a*' --exclude 'f*' \
  --exclude 'i*' --exclude 'n*' --exclude 'r*' --exclude 's*' --json
expect_json_lines "system" master=skipped model=succeeded msdb=succeeded
grep -qF '"skipped":"no differential backup of master"' "$WORK/out" && pass || fail "system: master's reason"
grep -q tempdb "$WORK/out" && fail "system: tempdb listed" || pass

# The server's refusal changes the kind too: a database past the listing's
# first 256 has no facts, so the log backup is sent, refused for want of a
# full one, and taken again as a full backup.
start_sim --empty-catalog --databases 300 --backup-ms 50
run backup --user sa --port "$PORT" --database db0300 --type log --change-type --out-dir "$WORK/fleet" --json
expect_json_lines "refused for want of a base" db0300=succeeded
grep -qF '"type":"full"' "$WORK/out" && grep -qF '"note":"log changed to full: the server has no full backup' "$WORK/out" &&
  pass || fail "refused for want of a base: not changed to full"

# A listing that fails is one JSON object too, and a failed run in the metrics.
run backup --user sa --port 1 --all --out-dir "$WORK/fleet" --json --metrics-file "$FLEET_METRICS" --type log
[ "$RC" -eq 1 ] && python3 -c '
import json, sys
docs = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
assert len(docs) == 1 and docs[0]["outcome"] == "failed" and "cannot list" in docs[0]["error"], docs
' "$WORK/out" && pass || fail "failed listing: exit $RC"
check_metrics_file "failed listing: metrics" "$FLEET_METRICS" \
  "vaultrun_run_last_outcome\{server=\"127.0.0.1:1\",type=\"log\"\} 0" \
  "vaultrun_run_last_outcome\{$flabel,type=\"log\"\} 1" \
  "vaultrun_backup_last_outcome\{$flabel,database=\"sales\",type=\"full\"\} 1"

# On a terminal: a live line per running backup and the overall line.
if command -v script >/dev/null 2>&1; then
  cmd=$(printf '%q ' "$CLI" backup "${CONN[@]}" --all --exclude sales --out-dir "$WORK/par" --parallel 2)
  timeout -s KILL 60 script -qec "$cmd" /dev/null </dev/null >"$WORK/out" 2>&1
  RC=$?
  : >"$WORK/err"
  [ "$RC" -eq 0 ] && pass || fail "terminal: exit $RC"
  grep -qE '(hr|inventory)  +[0-9]+%  (connecting|backing up|verifying)' "$WORK/out" && pass ||
    fail "terminal: no live line per backup"
  grep -qE '[0-3] of 3 done' "$WORK/out" && grep -q '2 of 2 backups succeeded, 1 skipped' "$WORK/out" && pass ||
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

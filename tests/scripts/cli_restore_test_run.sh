#!/usr/bin/env bash
# vaultrun restore-test and backup --verify restore as their users meet
# them: the usage errors without a server; then, against the simulated
# server with one database marked damaged, a clean database proven (table
# and JSON line), the damaged one failing its check, a check left out, a
# scratch name that exists (never touched), --all over the sample catalog,
# a backup proved by a restore test, the metrics file keeping the last
# proven restore across a failed test, a dry run, Ctrl-C during the check
# (the copy is still dropped), a server gone during the check (the copy
# left behind stands out and fails the run), the password gone from the
# running CLI's environment, a --config file's scratch name refused for
# several databases, and a second server behind the same name (nothing
# dropped there, the copy named with its server).
# A && pass || fail: pass never fails.
# shellcheck disable=SC2015
set -uo pipefail
NAME=cli_restore_test_run
# shellcheck source=lib/cli_harness.bash
source "$(dirname "$0")/lib/cli_harness.bash"

# ---- Without a server ------------------------------------------------------

while IFS='|' read -r name args pattern; do
  [ -z "$name" ] && continue
  # shellcheck disable=SC2086
  run $args
  expect_error "usage: $name" 2 "$pattern"
done <<'EOF2'
no database|restore-test --user sa|a database is required
all and database|restore-test --user sa --all --database hr|--all and --database cannot both be given
scratch with two|restore-test --user sa --database a --database b --scratch-database s|--scratch-database applies to one --database only
bad checkdb|restore-test --user sa --database a --checkdb fast|--checkdb takes full, physical_only or none
backup-only option|restore-test --user sa --database a --out-dir /x|option --out-dir applies to backup only
checkdb without verify restore|backup --user sa --database a --out /x.bak --checkdb none|apply with --verify restore only
verify word|backup --user sa --database a --out /x.bak --verify maybe|--verify takes restore
EOF2
run restore-test --help
expect_ok "help"
grep -qF -- '--checkdb MODE' "$WORK/out" && pass || fail "help: no --checkdb"

# ---- Against the simulated server ------------------------------------------

start_sim --backup-ms 300 --damaged hr --log "$WORK/sim.log" \
  --data-dir "$WORK/data" --log-dir "$WORK/logs"
mkdir -p "$WORK/b"
conn=(--port "$PORT" --user sa)
export VAULTRUN_PASSWORD=vaultrun

run backup "${conn[@]}" --database inventory --database hr --database sales --out-dir "$WORK/b" --json
[ "$RC" -eq 0 ] && pass || fail "full backups to test: exit $RC"

# A clean database: proven, checked, dropped, each phase timed.
run restore-test "${conn[@]}" --database inventory --json
expect_ok "inventory proven"
expect_json "inventory proven" 'db["inventory"]["outcome"], db["inventory"]["checkdb"], db["inventory"]["dropped"], db["inventory"]["left_behind"]' \
  "('proven', 'clean', True, False)"
expect_json "inventory phases" 'sorted(db["inventory"]["phases"])' "['check_ms', 'drop_ms', 'restore_ms']"
expect_json "inventory summary" 'summary["succeeded"], summary["damaged"], summary["left_behind"]' "(1, 0, 0)"
grep -q 'DBCC CHECKDB (\[inventory_restore_test\]) WITH NO_INFOMSGS, ALL_ERRORMSGS' "$WORK/sim.log" &&
  grep -q 'DROP DATABASE \[inventory_restore_test\]' "$WORK/sim.log" && pass || fail "inventory: no check or drop sent"

# The table: the outcome, the check, the scratch name and the copy dropped.
run restore-test "${conn[@]}" --database inventory
expect_ok "inventory table"
grep -qE '^inventory +proven +clean +inventory_restore_test +.* dropped$' "$WORK/out" &&
  grep -qx '1 of 1 restore tests proven' "$WORK/out" && pass || fail "inventory table"

# The damaged database: its copy fails the check, and is dropped all the same.
run restore-test "${conn[@]}" --database hr --database inventory --json
[ "$RC" -eq 1 ] && pass || fail "damaged: exit $RC, expected 1"
expect_json "damaged" 'db["hr"]["outcome"], db["hr"]["checkdb"], db["hr"]["dropped"], "Msg " in db["hr"]["error"]' \
  "('damaged', 'damaged', True, True)"
expect_json "damaged beside a clean one" 'db["inventory"]["outcome"], summary["damaged"]' "('proven', 1)"
grep -q 'restore tests did not prove their backups: hr' "$WORK/err" && pass || fail "damaged: no stderr line"

# No check: restored and dropped only.
run restore-test "${conn[@]}" --database inventory --checkdb none --json
expect_ok "checkdb none"
expect_json "checkdb none" 'db["inventory"]["outcome"], db["inventory"]["checkdb"]' "('proven', 'none')"

# A scratch name that exists is refused before anything changes: sales
# stays as it was, and no RESTORE, CHECKDB or DROP names it.
: >"$WORK/sim.log"
run restore-test "${conn[@]}" --database inventory --scratch-database sales --json
[ "$RC" -eq 1 ] && pass || fail "scratch exists: exit $RC"
expect_json "scratch exists" 'db["inventory"]["outcome"], db["inventory"]["dropped"], db["inventory"]["left_behind"]' \
  "('failed', False, False)"
grep -qE 'RESTORE DATABASE \[sales\]|DROP DATABASE \[sales\]|CHECKDB \(\[sales\]\)' "$WORK/sim.log" &&
  fail "scratch exists: sales was touched" || pass

# A backup proved by a restore test instead of RESTORE VERIFYONLY.
run backup "${conn[@]}" --database inventory --out "$WORK/b/inv_proof.bak" --verify restore --checkdb physical_only
expect_ok "backup --verify restore"
grep -q 'verified:  yes by a restore test (checkdb clean' "$WORK/out" && pass || fail "backup --verify restore: no proof"
grep -q 'PHYSICAL_ONLY' "$WORK/sim.log" && pass || fail "backup --verify restore: no PHYSICAL_ONLY check"
run backup "${conn[@]}" --database inventory --database sales --out-dir "$WORK/b" --verify restore --json
expect_ok "run --verify restore"
expect_json "run --verify restore" 'db["inventory"]["restore_test"]["outcome"], db["sales"]["verified"]' "('proven', True)"

# The metrics file: a proven restore's time, kept when the next test fails.
prom=$WORK/restore-test.prom
run restore-test "${conn[@]}" --database inventory --metrics-file "$prom"
expect_ok "metrics: proven"
first=$(grep '^vaultrun_restore_test_last_success_timestamp_seconds{.*database="inventory"}' "$prom")
[ -n "$first" ] && grep -q '^vaultrun_restore_test_success{.*database="inventory"} 1$' "$prom" && pass ||
  fail "metrics: no proven restore recorded: $(cat "$prom")"
sleep 1.1
run restore-test "${conn[@]}" --database inventory --stop-at 2001-01-01T00:00:00 --metrics-file "$prom"
[ "$RC" -eq 1 ] && pass || fail "metrics: a test with no backup before 2001 should fail (exit $RC)"
grep -q '^vaultrun_restore_test_success{.*database="inventory"} 0$' "$prom" &&
  [ "$(grep '^vaultrun_restore_test_last_success_timestamp_seconds{.*database="inventory"}' "$prom")" = "$first" ] &&
  grep -q '^vaultrun_run_last_outcome{.*type="restore_test"} 0$' "$prom" && pass ||
  fail "metrics: the last proven restore was not kept: $(cat "$prom")"

# A dry run shows the plan (the copy's check, and its drop by kind: the
# drop names the identity the copy will have), changes nothing and leaves
# the metrics file as it was.
cp "$prom" "$WORK/before.prom"
: >"$WORK/sim.log"
run restore-test "${conn[@]}" --database inventory --dry-run --metrics-file "$prom"
expect_ok "dry run"
grep -q 'DBCC CHECKDB (\[inventory_restore_test\])' "$WORK/out" && grep -qE '^  step [0-9]+: drop$' "$WORK/out" &&
  grep -qx '1 of 1 restore tests planned' "$WORK/out" && pass || fail "dry run: no plan"
grep -qE 'RESTORE DATABASE|CHECKDB|DROP DATABASE' "$WORK/sim.log" && fail "dry run: sent a change" || pass
cmp -s "$prom" "$WORK/before.prom" && pass || fail "dry run: the metrics file changed"

# --all over the sample catalog: every user database with a full backup is
# proven but the damaged one; those with none in this server's history
# (archive, offline, never backed up) are skipped with the reason.
run backup "${conn[@]}" --all --out-dir "$WORK/b" --json
run restore-test "${conn[@]}" --all --parallel 3 --json
[ "$RC" -eq 1 ] && pass || fail "--all: exit $RC, expected 1 (hr is damaged)"
if python3 - "$WORK/out" <<'PY'
import json, sys
*per_db, summary = [json.loads(l) for l in open(sys.argv[1]).read().splitlines()]
got = {d["database"]: d for d in per_db}
assert got["hr"]["outcome"] == "damaged", got["hr"]
assert got["inventory"]["outcome"] == "proven", got["inventory"]
assert got["archive"] == {"database": "archive", "outcome": "skipped",
                          "skipped": "no full backup of it in this server's history"}, got["archive"]
assert all(d["left_behind"] is False for d in per_db if d["outcome"] != "skipped"), per_db
assert summary["databases"] == len(per_db) >= 3, summary
assert summary["damaged"] == 1 and summary["left_behind"] == 0, summary
PY
then pass; else fail "--all over the sample catalog"; fi

# Ctrl-C during the check: the test is cancelled and its copy dropped.
: >"$WORK/sim.log"
start_sim --backup-ms 3000 --log "$WORK/slow.log" --data-dir "$WORK/data2" --log-dir "$WORK/logs2"
slow=(--port "$PORT" --user sa)
run backup "${slow[@]}" --database inventory --out "$WORK/b/slow.bak" --no-verify
interrupt_cli 'grep -q "DBCC CHECKDB" "$WORK/slow.log" 2>/dev/null' 0.3 restore-test "${slow[@]}" --database inventory --json
[ "$RC" -eq 130 ] && pass || fail "Ctrl-C: exit $RC, expected 130"
expect_json "Ctrl-C" 'db["inventory"]["outcome"], db["inventory"]["dropped"], summary["interrupted"]' "('cancelled', True, True)"
grep -q 'DROP DATABASE \[inventory_restore_test\]' "$WORK/slow.log" && pass || fail "Ctrl-C: no drop after the cancel"

# A server that goes away during the check: the copy cannot be dropped, and
# the run must say so loudly, never report success.
start_sim --backup-ms 200 --fault-checkdb hang --log "$WORK/gone.log" --data-dir "$WORK/data3" --log-dir "$WORK/logs3"
gone=(--port "$PORT" --user sa --connect-timeout 2)
run backup "${gone[@]}" --database inventory --out "$WORK/b/gone.bak" --no-verify
timeout -s KILL 60 "$CLI" restore-test "${gone[@]}" --database inventory </dev/null >"$WORK/out" 2>"$WORK/err" &
cli_pid=$!
for _ in $(seq 1 200); do
  grep -q "DBCC CHECKDB" "$WORK/gone.log" 2>/dev/null && break
  sleep 0.05
done
kill "$SIM_PID"
wait "$cli_pid"
RC=$?
[ "$RC" -eq 1 ] && pass || fail "left behind: exit $RC, expected 1"
grep -qE '^inventory +failed +.*inventory_restore_test .* LEFT BEHIND ' "$WORK/out" &&
  grep -q '1 scratch copy LEFT BEHIND' "$WORK/out" && pass || fail "left behind: not in the table"
grep -q '^vaultrun: scratch database inventory_restore_test (a copy of inventory) was left on the server' "$WORK/err" &&
  pass || fail "left behind: no line on stderr"

# The password stays in one buffer of the CLI: the environment's copy is
# wiped once read, so the running process no longer shows it there.
start_sim --backup-ms 2000 --log "$WORK/pw.log" --data-dir "$WORK/data4" --log-dir "$WORK/logs4"
pw=(--port "$PORT" --user sa)
run backup "${pw[@]}" --database inventory --out "$WORK/b/pw.bak" --no-verify
"$CLI" restore-test "${pw[@]}" --database inventory --json </dev/null >"$WORK/out" 2>"$WORK/err" &
cli_pid=$!
for _ in $(seq 1 200); do
  grep -q "RESTORE DATABASE" "$WORK/pw.log" 2>/dev/null && break
  sleep 0.05
done
tr '\0' '\n' <"/proc/$cli_pid/environ" | grep -qx 'VAULTRUN_PASSWORD=vaultrun' &&
  fail "password: still in the environment of the running CLI" || pass
wait "$cli_pid"
RC=$?
[ "$RC" -eq 0 ] && pass || fail "password: exit $RC"

# A scratch name from a --config file serves one database only.
printf '{"user":"sa","port":%s,"scratch_database":"copy"}' "$PORT" >"$WORK/scratch.json"
run restore-test --config "$WORK/scratch.json" --database inventory --database sales
expect_error "scratch from the file" 2 '"scratch_database" in the --config file applies to one database only'

# The connection breaks during the check and the next login reaches a
# second server behind the same name: nothing is dropped there, and the
# copy is named left behind with its server.
start_sim --backup-ms 200 --fault-checkdb close --failover-server-name OTHER-NODE --log "$WORK/fo.log" \
  --data-dir "$WORK/data5" --log-dir "$WORK/logs5"
fo=(--port "$PORT" --user sa --connect-timeout 2)
run backup "${fo[@]}" --database inventory --out "$WORK/b/fo.bak" --no-verify
run restore-test "${fo[@]}" --database inventory --json
[ "$RC" -eq 1 ] && pass || fail "second server: exit $RC, expected 1"
expect_json "second server" 'db["inventory"]["dropped"], db["inventory"]["left_behind"]' "(False, True)"
grep -q 'on server VAULTRUN-SIM was not dropped: the connection reached another server' "$WORK/out" &&
  pass || fail "second server: the error does not name the copy's server"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

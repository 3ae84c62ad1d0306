#!/usr/bin/env bash
# vaultrun restore as its users meet it: the options it refuses without a
# server; then, against the simulated server, a chain of full, log,
# differential and log backups made with vaultrun backup, and restores of
# it: the newest point, a point inside a log backup, under a new name with
# the files moved to the default folders or named one by one, left
# restoring and finished with one more log from --from/--file, from the
# backup files on a server without their history, the plan of a dry run,
# and the failures (an existing database without --replace, no full backup,
# a gap in the logs, Ctrl-C in the middle of a step).
# A && pass || fail: pass never fails.
# shellcheck disable=SC2015
set -uo pipefail
NAME=cli_restore_test
# shellcheck source=lib/cli_harness.bash
source "$(dirname "$0")/lib/cli_harness.bash"

# ---- Without a server ------------------------------------------------------

# Usage errors: name | arguments (split on blanks) | part of the message.
while IFS='|' read -r name args pattern; do
  [ -z "$name" ] && continue
  # shellcheck disable=SC2086
  run $args
  expect_error "usage: $name" 2 "$pattern"
done <<'EOF'
without database|restore --user sa|a database is required
two databases|restore --user sa --database a --database b|restore takes one --database
files with from|restore --user sa --database a --files /x.bak --from /y.bak|--files and --from cannot both be given
file without from|restore --user sa --database a --file 2|--file needs --from
file out of range|restore --user sa --database a --from /x.bak --file 40000|--file takes a set's position from 1 to 32767
stop-at not a time|restore --user sa --database a --stop-at yesterday|--stop-at takes the server's local time
move without path|restore --user sa --database a --move data|--move takes LOGICAL=PATH or default
move default and pairs|restore --user sa --database a --move default --move d=/x|cannot be combined
backup option|restore --user sa --database a --out /x.bak|option --out applies to backup only
restore option on backup|backup --user sa --database a --out /x.bak --no-recovery|applies to restore only
EOF
run restore --help
expect_ok "help"
head -n 1 "$WORK/out" | grep -q '^usage: vaultrun restore' && grep -qF -- '--stop-at TIME' "$WORK/out" && pass ||
  fail "help: no restore usage"

# ---- Against the simulated server ------------------------------------------

closed_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# A library that restores refuses a system database before connecting.
run restore --user sa --port "$closed_port" --database master
if ! grep -q 'system database' "$WORK/err" || ! grep -aq FILELISTONLY "$SIM" 2>/dev/null; then
  echo "$NAME: SKIP the server-side cases: the library or the simulator does not restore yet"
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
  exit
fi
expect_error "system database" 1 "system database"

export VAULTRUN_PASSWORD=vaultrun
start_sim --backup-ms 300 --log "$WORK/sim.log"
CONN=(--user sa --port "$PORT")
B=$WORK/backups
mkdir -p "$B"

now() { date +%Y-%m-%dT%H:%M:%S.%3N; }
backup() {  # name, type, file
  run backup "${CONN[@]}" --database inventory --type "$2" --out "$3" --json
  expect_ok "backup: $1"
}

# The chain: full, a log, a differential, a log (the point in time falls in
# it), later one more log in the same file. The logs go into one file, a
# set each, so that a set's position matters.
backup "full" full "$B/inv_full.bak"
backup "log 1" log "$B/inv_log1.trn"
backup "differential" differential "$B/inv_diff.bak"
sleep 0.5
MID=$(now)
sleep 0.5
backup "log 2" log "$B/inv_logs.trn"

# The files' logical names, read from the plan of a dry run that moves them.
run restore "${CONN[@]}" --database inventory --as inv_plan --dry-run --json
expect_ok "dry run"
expect_json "dry run: a plan" "r.get('dry_run')" "True"
expect_json "dry run: the steps" "','.join(s['type'] for s in r['plan'] if s['type'] != 'recovery')" \
  "full,differential,log"
LOGICAL=$(json_eval "' '.join(__import__('re').findall(r\"MOVE N'((?:[^']|'')*)' TO\", r['plan'][0]['statement']))")
[ -n "$LOGICAL" ] && pass || fail "dry run: the full step moves no file: $(tail -n 1 "$WORK/out")"
grep -q 'RESTORE DATABASE \[inv_plan\] FROM\|RESTORE LOG \[inv_plan\]' "$WORK/sim.log" &&
  fail "dry run: a restore statement reached the server" || pass
# As text: the plan with its statements, and nothing restored.
run restore "${CONN[@]}" --database inventory --as inv_plan --dry-run
expect_ok "dry run as text"
grep -qx 'restore plan (dry run: nothing was restored)' "$WORK/out" &&
  grep -qE "^ +RESTORE DATABASE \[inv_plan\] FROM DISK = N'$B/inv_full.bak' WITH FILE = 1, NORECOVERY" "$WORK/out" &&
  grep -qE '^  step [0-9]+: +log +.*inv_logs.trn, set 1' "$WORK/out" && pass || fail "dry run as text: the plan"

# A point inside the second log backup, under a new name: the full, the
# differential (the first log is older than it) and the log up to the point.
: >"$WORK/sim.log"
run restore "${CONN[@]}" --database inventory --as inv_pit --stop-at "$MID" --json
expect_ok "point in time"
expect_json "point in time: the sets" "','.join(s['type'] for s in r['restored'])" "full,differential,log"
expect_json "point in time: the log" "r['restored'][-1]['target'].endswith('inv_logs.trn')" "True"
expect_json "point in time: recovered" "r['recovered']" "True"
grep -qF "RESTORE LOG [inv_pit] FROM DISK = N'$B/inv_logs.trn' WITH FILE = 1, NORECOVERY, STOPAT = N'$MID'" \
  "$WORK/sim.log" && pass || fail "point in time: no STOPAT: $(grep RESTORE "$WORK/sim.log")"
grep -qF "RESTORE LOG [inv_pit] FROM DISK = N'$B/inv_log1.trn'" "$WORK/sim.log" &&
  fail "point in time: the log before the differential was restored" || pass
grep -q "SERVERPROPERTY('InstanceDefaultDataPath')" "$WORK/sim.log" &&
  grep -qF "RESTORE DATABASE [inv_pit] FROM DISK = N'$B/inv_full.bak' WITH FILE = 1, NORECOVERY, MOVE N'" \
    "$WORK/sim.log" && pass || fail "point in time: a new name without --move does not move to the default folders"
# Progress lines name the step (a quick step may pass between two polls,
# so any one of them will do), then the summary.
run restore "${CONN[@]}" --database inventory --as inv_pit2 --stop-at "$MID"
expect_ok "point in time as text"
grep -qE '^ *[0-9]+%  [0-9:]+  step [1-3]/[34] (full|differential|log)' "$WORK/out" && pass ||
  fail "progress: no step in the lines"
grep -E '^ *[0-9]+%  ' "$WORK/out" | tail -n 1 | grep -qE '^100%  [0-9:]+  done' && pass ||
  fail "progress: the last line is not the end at 100%"
grep -qx '  database:  inv_pit2 (from the backups of inventory)' "$WORK/out" &&
  grep -qE '^  restored:  full +.*inv_full.bak, set 1, finished ' "$WORK/out" &&
  grep -qx "  stop at:   $MID" "$WORK/out" && grep -qx '  recovered: yes, the database is online' "$WORK/out" &&
  pass || fail "point in time as text: the summary"

# Left restoring, then one more log backup applied with --from/--file.
run restore "${CONN[@]}" --database inventory --as inv_norec --no-recovery --json
expect_ok "no recovery"
expect_json "no recovery: the sets" "','.join(s['type'] for s in r['restored'])" "full,differential,log"
expect_json "no recovery: not recovered" "r['recovered']" "False"
backup "log 3" log "$B/inv_logs.trn"
: >"$WORK/sim.log"
run restore "${CONN[@]}" --database inventory --as inv_norec --from "$B/inv_logs.trn" --file 2 --json
expect_ok "the last log by --from/--file"
expect_json "the last log: one log" "[(s['type'], s['position']) for s in r['restored']]" "[('log', 2)]"
expect_json "the last log: recovered" "r['recovered']" "True"
grep -qF "RESTORE LOG [inv_norec] FROM DISK = N'$B/inv_logs.trn' WITH FILE = 2, NORECOVERY" "$WORK/sim.log" &&
  grep -qF "RESTORE DATABASE [inv_norec] WITH RECOVERY" "$WORK/sim.log" && pass || fail "the last log: statements"

# The newest point: every log after the differential.
run restore "${CONN[@]}" --database inventory --as inv_newest --json
expect_ok "newest point"
expect_json "newest point: the sets" "','.join(s['type'] for s in r['restored'])" "full,differential,log,log"
expect_json "newest point: no stop_at" "r['stop_at']" "None"
run list "${CONN[@]}" --json
grep -qF '"name":"inv_newest"' "$WORK/out" && grep -qF '"name":"inv_norec"' "$WORK/out" && pass ||
  fail "the restored databases are not listed"

# Files named one by one.
MOVES=()
for l in $LOGICAL; do MOVES+=(--move "$l=$B/inv_moved_$l.dat"); done
: >"$WORK/sim.log"
run restore "${CONN[@]}" --database inventory --as inv_moved "${MOVES[@]}" --json
expect_ok "explicit --move"
for l in $LOGICAL; do
  grep -qF "MOVE N'$l' TO N'$B/inv_moved_$l.dat'" "$WORK/sim.log" && pass || fail "explicit --move: $l not moved"
done
grep -q 'InstanceDefaultDataPath' "$WORK/sim.log" && fail "explicit --move: the default folders were asked for" || pass

# The disaster case: a server without the history restores from the files.
start_sim --backup-ms 300 --log "$WORK/dr.log"
run restore --user sa --port "$PORT" --database inventory --as inventory_dr --json \
  --files "$B/inv_full.bak" "$B/inv_log1.trn" "$B/inv_diff.bak" "$B/inv_logs.trn"
expect_ok "from --files"
expect_json "from --files: the sets" "','.join(s['type'] for s in r['restored'])" "full,differential,log,log"
grep -qF "RESTORE HEADERONLY FROM DISK = N'$B/inv_logs.trn'" "$WORK/dr.log" && pass ||
  fail "from --files: the headers were not read"
grep -q 'msdb.dbo.backupset' "$WORK/dr.log" && fail "from --files: the history was asked for" || pass

# Failures, before and at the first step.
run restore "${CONN[@]}" --database inventory --as hr
expect_error "existing database without --replace" 1 "restore of hr failed: "
grep -q 'left restoring' "$WORK/err" && fail "existing database: said to be left restoring" || pass
run restore "${CONN[@]}" --database inventory --stop-at 2001-01-01T00:00:00
expect_error "no full backup before the time" 1 "restore of inventory failed: "
: >"$WORK/sim.log"
run restore "${CONN[@]}" --database inventory --as inv_gap --files "$B/inv_full.bak" "$B/inv_logs.trn"
expect_error "a gap in the logs" 1 "restore of inv_gap failed: "
grep -qi 'gap\|LSN' "$WORK/err" && pass || fail "a gap: the error names neither the gap nor the LSNs"
grep -q 'RESTORE DATABASE \[inv_gap\]\|RESTORE LOG \[inv_gap\]' "$WORK/sim.log" &&
  fail "a gap: a restore statement was sent" || pass

# A week in SIMPLE recovery: a full, a copy-only full for a test refresh,
# then a differential based on the first full. The plan takes the full and
# the differential, the newest point the backups reach; the copy-only full
# alone would bring back an hour less.
for kind in "full|sales_full.bak|" "copy-only full|sales_copy.bak|--copy-only" "differential|sales_diff.bak|"; do
  IFS='|' read -r what out extra <<<"$kind"
  type=full
  [ "$what" = differential ] && type=differential
  # shellcheck disable=SC2086
  run backup "${CONN[@]}" --database sales --type "$type" $extra --out "$B/$out" --json
  expect_ok "sales: $what"
done
run restore "${CONN[@]}" --database sales --as sales_r --dry-run --json
expect_ok "copy-only full before a differential"
expect_json "copy-only full before a differential: the plan" \
  "','.join(s['type'] + ':' + s['target'].rsplit('/', 1)[-1] for s in r['plan'] if s['type'] != 'recovery')" \
  "full:sales_full.bak,differential:sales_diff.bak"
DIFF_DONE=$(json_eval "r['plan'][1]['finished']")

# sales replaced by a restore of hr under its name, then backed up: its
# history holds two databases. The newest point is the new one's; the old
# one is reached only through a point in its time, and they never mix.
sleep 0.5
BEFORE_REPLACE=$(now)
run backup "${CONN[@]}" --database hr --type full --out "$B/hr_full.bak" --json
expect_ok "hr: full"
run restore "${CONN[@]}" --database hr --as sales --replace --files "$B/hr_full.bak" --json
expect_ok "sales replaced by hr"
run backup "${CONN[@]}" --database sales --type full --out "$B/sales_new.bak" --json
expect_ok "sales (new): full"
run restore "${CONN[@]}" --database sales --as sales_n --dry-run --json
expect_json "replaced: the newest point is the new database's" \
  "','.join(s['target'].rsplit('/', 1)[-1] for s in r['plan'] if s['type'] != 'recovery')" "sales_new.bak"
run restore "${CONN[@]}" --database sales --as sales_o --stop-at "$DIFF_DONE" --dry-run --json
expect_json "replaced: a point in the old database's time is the old one's" \
  "','.join(s['target'].rsplit('/', 1)[-1] for s in r['plan'] if s['type'] != 'recovery')" \
  "sales_full.bak,sales_diff.bak"
# Between the old database's last backup and the new one's first, no chain
# reaches: the old one's end is named.
run restore "${CONN[@]}" --database sales --as sales_o --stop-at "$BEFORE_REPLACE" --dry-run
expect_error "replaced: a point between the two" 1 "is past the end of the backup chain, which reaches ${DIFF_DONE}"

# inventory restored over itself to a point inside a log: its log forks
# there. The next log backup crosses to the new path; the old path's last
# log stays in the history. The newest point follows the new path, a point
# only the old path's log holds follows the old one.
backup "fork: log a" log "$B/fork_a.trn"
sleep 0.5
FORK=$(now)
sleep 0.5
backup "fork: log b" log "$B/fork_b.trn"
sleep 0.5
OLD=$(now)
sleep 0.5
backup "fork: log c" log "$B/fork_c.trn"
run restore "${CONN[@]}" --database inventory --stop-at "$FORK" --replace --json
expect_ok "in place to a point"
backup "fork: log d" log "$B/fork_d.trn"
files() { echo "' '.join(s['target'].rsplit('/', 1)[-1] for s in r['plan'] if s['type'] == 'log')"; }
run restore "${CONN[@]}" --database inventory --as inv_fork_new --dry-run --json
expect_ok "after the fork: newest point"
expect_json "after the fork: the new path" "$(files).endswith('fork_a.trn fork_d.trn')" "True"
run restore "${CONN[@]}" --database inventory --as inv_fork_old --stop-at "$OLD" --dry-run --json
expect_ok "after the fork: a point on the old path"
expect_json "after the fork: the old path" "$(files).endswith('fork_a.trn fork_b.trn fork_c.trn')" "True"

# Ctrl-C in the middle of a step, on a server where a restore takes 30 s:
# the restore is cancelled (the server sees the attention), the program
# waits for it and exits with 130, and says the database is left restoring.
start_sim --backup-ms 30000 --log "$WORK/slow.log"
interrupt_cli "grep -q 'step 1/' \"\$WORK/out\"" 0.3 \
  restore --user sa --port "$PORT" --database inventory --as inv_cut --files "$B/inv_full.bak"
expect_error "Ctrl-C" 130 "restore of inv_cut cancelled; inv_cut is left restoring"
[ "$ELAPSED_MS" -lt 5000 ] && pass || fail "Ctrl-C: took $ELAPSED_MS ms to end"
grep -q ATTENTION "$WORK/slow.log" && pass || fail "Ctrl-C: the server saw no attention"
grep -q '^ *[0-9]*%  .*cancelling' "$WORK/out" && pass || fail "Ctrl-C: the cancel was not shown"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

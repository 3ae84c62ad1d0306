#!/usr/bin/env bash
# vaultrun cleanup as its users meet it: the usage errors without a server;
# then, against the simulated server whose clock moves six hours with each
# backup, a week of fulls, differentials and logs cleaned with a three-day
# window: the dry run first (it lists what would go, deletes nothing and
# leaves the metrics file alone), then the real run (exactly those files
# gone, the table, the metrics), a login without the right to delete (a
# failure, nothing counted as deleted), and a run over the whole server.
# A && pass || fail: pass never fails.
# shellcheck disable=SC2015
set -uo pipefail
NAME=cli_cleanup_test
# shellcheck source=lib/cli_harness.bash
source "$(dirname "$0")/lib/cli_harness.bash"

# ---- Without a server ------------------------------------------------------

while IFS='|' read -r name args pattern; do
  [ -z "$name" ] && continue
  # shellcheck disable=SC2086
  run $args
  expect_error "usage: $name" 2 "$pattern"
done <<'EOF2'
no window|cleanup --user sa --database a --folder /b|a window to keep is required (--keep DURATION
minutes|cleanup --user sa --database a --folder /b --keep 90m|--keep takes hours or days, such as 36h or 14d
too long|cleanup --user sa --database a --folder /b --keep 876001h|--keep takes hours or days
no folder|cleanup --user sa --database a --keep 3d|a folder on the server to delete in is required
no database|cleanup --user sa --keep 3d --folder /b|a database is required
system without all|cleanup --user sa --database a --system --keep 3d --folder /b|--system applies with --all only
folder elsewhere|restore --user sa --database a --folder /b|option --folder applies to backup and cleanup only
backup folder without keep|backup --user sa --all --out-dir /b --folder /b|--folder applies to a backup run with --keep only
backup keep in a relative folder|backup --user sa --all --out-dir b --keep 3d|--keep deletes in --out-dir, which must then be an absolute server folder
EOF2
run cleanup --help
expect_ok "help"
grep -qF -- '--keep DURATION' "$WORK/out" && grep -qF -- '--dry-run' "$WORK/out" && pass || fail "help"

# ---- Against the simulated server ------------------------------------------

start_sim --backup-ms 5 --clock-step 21600 --login clerk:vaultrun --not-sysadmin clerk --log "$WORK/sim.log" \
  --data-dir "$WORK/data" --log-dir "$WORK/logs"
B=$WORK/b
mkdir -p "$B"
conn=(--port "$PORT" --user sa)
export VAULTRUN_PASSWORD=vaultrun

# A week: each day a full, a log, a differential and a log, six hours apart.
for d in 0 1 2 3 4 5 6; do
  for step in "full$d.bak|full" "log${d}a.trn|log" "diff$d.bak|differential" "log${d}b.trn|log"; do
    run backup "${conn[@]}" --database inventory --out "$B/${step%%|*}" --type "${step##*|}" --no-verify
    [ "$RC" -eq 0 ] || fail "backup $step: exit $RC"
  done
done
[ "$(ls "$B" | wc -l)" -eq 28 ] && pass || fail "a week of backups: $(ls "$B" | wc -l) files"

# The dry run: what would go, and nothing goes.
prom=$WORK/cleanup.prom
: >"$WORK/sim.log"
run cleanup "${conn[@]}" --database inventory --keep 3d --folder "$B" --dry-run --json --metrics-file "$prom"
expect_ok "dry run"
would=$(json_eval 'sorted(f["path"].rsplit("/",1)[1] for f in db["inventory"]["result"]["deleted"])')
expect_json "dry run" 'db["inventory"]["outcome"], db["inventory"]["dry_run"], db["inventory"]["deleted"] > 0, summary["dry_run"]' \
  "('succeeded', True, True, True)"
[ "$(ls "$B" | wc -l)" -eq 28 ] && pass || fail "dry run: files were deleted"
grep -q 'xp_delete_file' "$WORK/sim.log" && fail "dry run: xp_delete_file sent" || pass
[ -e "$prom" ] && fail "dry run: wrote the metrics file" || pass

# A login without the right: the server's refusal, nothing deleted.
before=$(ls "$B" | wc -l)
run cleanup --port "$PORT" --user clerk --database inventory --keep 3d --folder "$B" --json
[ "$RC" -eq 1 ] && pass || fail "clerk: exit $RC, expected 1"
expect_json "clerk" 'db["inventory"]["outcome"], db["inventory"]["deleted"], db["inventory"]["freed_bytes"]' "('failed', 0, 0)"
[ "$(ls "$B" | wc -l)" -eq "$before" ] && pass || fail "clerk: files were deleted"
grep -q 'cleanups failed: inventory' "$WORK/err" && pass || fail "clerk: no line on stderr"

# The real run: exactly what the dry run listed goes, oldest first.
run cleanup "${conn[@]}" --database inventory --keep 3d --folder "$B" --json --metrics-file "$prom"
expect_ok "cleanup"
gone=$(json_eval 'sorted(f["path"].rsplit("/",1)[1] for f in db["inventory"]["result"]["deleted"])')
[ "$gone" = "$would" ] && pass || fail "the run deleted $gone, the dry run listed $would"
python3 - "$B" "$gone" <<'PY' && pass || fail "files on disk after the cleanup"
import ast, os, sys
gone = set(ast.literal_eval(sys.argv[2]))
left = set(os.listdir(sys.argv[1]))
assert gone and not gone & left, (gone, left)
assert len(gone) + len(left) == 28, (gone, left)
# Days 0 to 2 are older than the window from day 6's end, apart from what
# the window's first point still needs.
assert "full0.bak" in gone and "full6.bak" in left and "log6b.trn" in left, (gone, left)
PY
expect_json "summary" 'summary["files_deleted"] == db["inventory"]["deleted"], summary["freed_bytes"] == db["inventory"]["freed_bytes"] > 0' \
  "(True, True)"
grep -q '^vaultrun_cleanup_success{server="[^"]*",database="inventory"} 1$' "$prom" &&
  grep -q '^vaultrun_cleanup_files_deleted{server="[^"]*",database="inventory"} [1-9]' "$prom" &&
  grep -q '^vaultrun_cleanup_freed_bytes{server="[^"]*",database="inventory"} [1-9]' "$prom" &&
  grep -q '^vaultrun_restore_window_promised_seconds{server="[^"]*",database="inventory"} 259200$' "$prom" &&
  grep -q '^vaultrun_oldest_restorable_timestamp_seconds{server="[^"]*",database="inventory"} [1-9]' "$prom" &&
  grep -q '^vaultrun_run_last_outcome{server="[^"]*",type="cleanup"} 1$' "$prom" && pass ||
  fail "metrics: $(cat "$prom")"
# The files left restore to at least the window's start: the oldest point
# lies three days or more before the run.
oldest=$(sed -n 's/^vaultrun_oldest_restorable_timestamp_seconds{.*} //p' "$prom")
[ $(( $(date +%s) - oldest )) -ge 259200 ] && pass || fail "oldest restorable $oldest is inside the window"

# Again: nothing more to delete; the table says so.
run cleanup "${conn[@]}" --database inventory --keep 3d --folder "$B"
expect_ok "second run"
grep -qE '^inventory +succeeded +0 +[0-9]+ +0 B +[0-9-]+T[0-9:.]+ ' "$WORK/out" &&
  grep -qx '1 of 1 cleanups succeeded, 0 files deleted, 0 B freed' "$WORK/out" && pass || fail "second run: table"

# The whole server: every database of the listing, less the excluded ones.
run cleanup "${conn[@]}" --all --exclude 'arch*' --keep 3d --folder "$B" --dry-run --json
expect_ok "--all"
expect_json "--all" '"inventory" in db, "archive" in db, summary["databases"] == len(db) >= 2' "(True, False, True)"

# ---- A cleanup after each backup of a run -----------------------------------
# backup --keep cleans each database in --out-dir once its own backup has
# succeeded, and writes the cleanup's samples beside the backup's. Run after
# run it goes on deleting: the files it deleted before stay in the history,
# gone, and hold nothing up.
start_sim --backup-ms 5 --clock-step 21600 --login clerk:vaultrun --not-sysadmin clerk \
  --data-dir "$WORK/data2" --log-dir "$WORK/logs2"
conn=(--port "$PORT" --user sa)
K=$WORK/k
mkdir -p "$K"
kprom=$WORK/full.prom
for i in 1 2 3 4 5 6 7 8; do
  run backup "${conn[@]}" --database inventory --database hr --type full --out-dir "$K" --parallel 1 \
    --name-template "{database}_$i.bak" --no-verify --keep 1d --json --metrics-file "$kprom"
  [ "$RC" -eq 0 ] || fail "backup --keep, run $i: exit $RC: $(cat "$WORK/err")"
done
expect_json "backup --keep" \
  '[(db[n]["outcome"], db[n]["cleanup"]["outcome"]) for n in ("inventory", "hr")], summary["cleanups_failed"], summary["files_deleted"] >= 1' \
  "([('succeeded', 'succeeded'), ('succeeded', 'succeeded')], 0, True)"
left=$(ls "$K" | tr '\n' ' ')
[ "$(ls "$K" | wc -l)" -le 6 ] && [ ! -e "$K/inventory_1.bak" ] && [ -e "$K/inventory_8.bak" ] && [ -e "$K/hr_8.bak" ] &&
  pass || fail "backup --keep: files left: $left"
grep -q '^vaultrun_backup_last_outcome{server="[^"]*",database="hr",type="full"} 1$' "$kprom" &&
  grep -q '^vaultrun_cleanup_success{server="[^"]*",database="hr"} 1$' "$kprom" &&
  grep -q '^vaultrun_cleanup_files_deleted{server="[^"]*",database="inventory"} [0-9]' "$kprom" &&
  grep -q '^vaultrun_restore_window_promised_seconds{server="[^"]*",database="inventory"} 86400$' "$kprom" &&
  grep -q '^vaultrun_run_last_outcome{server="[^"]*",type="cleanup"} 1$' "$kprom" &&
  grep -q '^vaultrun_run_last_outcome{server="[^"]*",type="full"} 1$' "$kprom" && pass ||
  fail "backup --keep metrics: $(cat "$kprom")"
# Once no file of hr is left to restore from, its cleanup still succeeds, and
# the file no longer tells an oldest point from before.
rm -f "$K"/hr_*.bak
run cleanup "${conn[@]}" --database hr --keep 1d --folder "$K" --json --metrics-file "$kprom"
expect_json "hr with nothing left" 'db["hr"]["outcome"], db["hr"]["oldest_restorable"]' "('succeeded', None)"
grep -q '^vaultrun_cleanup_success{server="[^"]*",database="hr"} 1$' "$kprom" &&
  ! grep -q '^vaultrun_oldest_restorable_timestamp_seconds{server="[^"]*",database="hr"}' "$kprom" && pass ||
  fail "hr with nothing left: $(grep -v "^#" "$kprom") $(cat "$WORK/out")"
# A database whose backup fails is not cleaned; a cleanup that fails fails
# the run, and the backup still counts as taken.
run backup --port "$PORT" --user clerk --database inventory --database nosuchdb --type full --out-dir "$K" --parallel 1 \
  --name-template "{database}_9.bak" --no-verify --keep 1h --json --metrics-file "$kprom"
[ "$RC" -eq 1 ] && pass || fail "clerk's backup --keep: exit $RC, expected 1"
expect_json "clerk's backup --keep" \
  'db["inventory"]["outcome"], db["inventory"]["cleanup"]["outcome"], "EXECUTE permission was denied" in db["inventory"]["cleanup"]["error"], "cleanup" in db["nosuchdb"]' \
  "('succeeded', 'failed', True, False)"
grep -q '1 of 1 cleanups after the backups did not succeed: inventory' "$WORK/err" && grep -q 'backups failed: nosuchdb' "$WORK/err" &&
  pass || fail "clerk's backup --keep: $(cat "$WORK/err")"
grep -q '^vaultrun_backup_last_outcome{server="[^"]*",database="inventory",type="full"} 1$' "$kprom" &&
  grep -q '^vaultrun_cleanup_success{server="[^"]*",database="inventory"} 0$' "$kprom" &&
  grep -q '^vaultrun_run_last_outcome{server="[^"]*",type="cleanup"} 0$' "$kprom" && pass ||
  fail "clerk's backup --keep metrics: $(cat "$kprom")"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# The whole job in one go, on a fresh Debian machine: installs the packages
# the build needs (only those missing), builds the library, the command-line
# host and the simulated server into build-demo/, starts the simulated server
# with its sample catalog on a free loopback port, then runs
#   vaultrun test, vaultrun list, vaultrun backup (with verification)
# showing the backup's live progress and the file it produced, then a
# whole-server run (every database, two at a time, with a metrics file) and
# a log backup of every database in which the SIMPLE one fails, each ending
# in its summary table, then a full, a differential and three log backups of
# one database and its point-in-time restore under a new name (the plan
# first, then the restore), then an encrypted backup against a second server
# that requires TLS (its certificate checked against the PEM it wrote), then
# proof of restore (a database's backups restored under a scratch name,
# checked with DBCC CHECKDB and dropped; one proven, one damaged failing),
# then retention on a week of backups (a cleanup's dry run, the cleanup, and
# a nightly run that cleans up after each backup), and stops the servers. Safe to run again: the build is reused and nothing outside
# build-demo/ and a temporary folder is written.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-demo

step() { printf '\n== %s ==\n' "$*"; }
show() {  # prints a command the way a user would type it, then runs it
  printf '$ %s\n' "$*"
  "$@"
}

step "setting up"
bash scripts/setup.sh build

step "building into build-demo/"
log=$build/demo-build.log
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVAULTRUN_TESTS=OFF -DVAULTRUN_TOOLS=ON &&
       cmake --build "$build" -j"$(nproc)" --target vaultrun vaultrun-sim; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "demo: the build failed; the whole log is $log" >&2
  exit 1
fi
echo "built: $build/tools/cli/vaultrun, $build/tools/sim/vaultrun-sim"

work=$(mktemp -d "${TMPDIR:-/tmp}/vaultrun-demo.XXXXXX")
sim_pids=""
stop_server() {
  local pid
  for pid in $sim_pids; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "simulated server stopped"
  done
  rm -rf "$work"
}
trap stop_server EXIT

# start_server NAME FLAGS...: starts a simulated server, sets port to the
# port it listens on and adds it to sim_pids.
start_server() {
  local name=$1
  shift
  "$build/tools/sim/vaultrun-sim" --listen 127.0.0.1 --port 0 --quiet "$@" \
    >"$work/$name.out" 2>"$work/$name.err" &
  local pid=$!
  sim_pids="$sim_pids $pid"
  port=""
  for _ in $(seq 1 100); do
    port=$(head -n 1 "$work/$name.out" 2>/dev/null || true)
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    cat "$work/$name.err" >&2
    echo "demo: the simulated server did not start" >&2
    exit 1
  fi
}

step "starting the simulated server"
# Backups take about five seconds, so the progress has something to show.
start_server sim --backup-ms 5000
echo "listening on 127.0.0.1:$port (login sa, password vaultrun)"

# The password travels in the environment, never on the command line.
export VAULTRUN_PASSWORD=vaultrun
export PATH="$build/tools/cli:$PATH"
backups=$work/backups
mkdir -p "$backups"

step "connection test"
show vaultrun test --host 127.0.0.1 --port "$port" --user sa

step "databases"
show vaultrun list --host 127.0.0.1 --port "$port" --user sa

step "backup with verification"
show vaultrun backup --host 127.0.0.1 --port "$port" --user sa --database inventory \
  --out "$backups/inventory.bak"

step "the backup file (written by the server)"
show ls -l "$backups"

step "whole-server run: every database, two at a time"
# The server writes the files; like a real one, it does not create folders.
mkdir -p "$backups/nightly"
show vaultrun backup --host 127.0.0.1 --port "$port" --user sa --all --parallel 2 \
  --out-dir "$backups/nightly" --metrics-file "$work/vaultrun.prom"

step "log backups of every database (sales uses the SIMPLE recovery model: the server refuses it)"
# The run goes on past the failure and exits with 1; the demo carries on.
status=0
show vaultrun backup --host 127.0.0.1 --port "$port" --user sa --all --type log \
  --out-dir "$backups/nightly" --metrics-file "$work/vaultrun.prom" || status=$?
echo "(exit status $status: 0 only when every backup succeeded)"

step "the files of both runs and the metrics file"
show ls -l "$backups/nightly"
show cat "$work/vaultrun.prom"

step "point-in-time restore under a new name"
# On a server of its own with quicker backups: a full backup of inventory, a
# differential, and three log backups appended to one file. Then inventory
# as it was between the second and the third log backup comes back as
# inventory_pit beside it: the library reads the server's backup history,
# chooses the full, the differential and the logs up to that time, and puts
# the files in the server's default folders under the new name.
start_server pitr --backup-ms 800
pitr=(--host 127.0.0.1 --port "$port" --user sa)
chain=$backups/chain
mkdir -p "$chain"
show vaultrun backup "${pitr[@]}" --database inventory --type full --out "$chain/inventory_full.bak"
show vaultrun backup "${pitr[@]}" --database inventory --type differential --out "$chain/inventory_diff.bak"
for n in 1 2 3; do
  show vaultrun backup "${pitr[@]}" --database inventory --type log --out "$chain/inventory_logs.trn"
  if [ "$n" = 2 ]; then
    sleep 1
    stop_at=$(date +%Y-%m-%dT%H:%M:%S)
    echo "(the point to restore to: $stop_at, the server's local time)"
    sleep 1
  fi
done
show vaultrun restore "${pitr[@]}" --database inventory --as inventory_pit --stop-at "$stop_at" --dry-run
show vaultrun restore "${pitr[@]}" --database inventory --as inventory_pit --stop-at "$stop_at"
show vaultrun list "${pitr[@]}"

step "encrypted backup: a server that requires TLS"
# This server refuses clear text; its self-signed certificate, written as
# PEM, is what the client trusts (ca_file), so the chain and the name are
# checked as they would be for any server.
start_server tls --backup-ms 2000 --encryption req --tls-cert-out "$work/server-cert.pem" \
  --log "$work/tls.log"
tls_port=$port
echo "listening on 127.0.0.1:$tls_port, encryption required"
status=0
show vaultrun test --host 127.0.0.1 --port "$tls_port" --user sa || status=$?
echo "(exit status $status: without --encrypt the server is refused, nothing is sent in clear text)"
show vaultrun backup --host 127.0.0.1 --port "$tls_port" --user sa --database hr \
  --encrypt true --ca-file "$work/server-cert.pem" --out "$backups/hr-encrypted.bak"
show ls -l "$backups/hr-encrypted.bak"
echo "the server's log of the encrypted connection:"
show grep -E "TLS|BACKUP" "$work/tls.log"

step "proof of restore: restore under a scratch name, DBCC CHECKDB, drop"
# A server of its own on which hr is marked damaged: its backups carry the
# damage, so the copy restored from them fails its check. inventory's comes
# back whole. The copy is dropped in both cases; nothing existing is touched.
start_server proof --backup-ms 600 --damaged hr
proof=(--host 127.0.0.1 --port "$port" --user sa)
mkdir -p "$backups/proof"
show vaultrun backup "${proof[@]}" --database inventory --database hr --out-dir "$backups/proof"
show vaultrun restore-test "${proof[@]}" --database inventory
status=0
show vaultrun restore-test "${proof[@]}" --database inventory --database hr \
  --metrics-file "$work/restore-test.prom" || status=$?
echo "(exit status $status: hr's backup does not come back whole, as expected here)"
show grep -E "^vaultrun_restore_test_(success|last_success)" "$work/restore-test.prom"
echo "a backup can prove itself the same way instead of RESTORE VERIFYONLY:"
show vaultrun backup "${proof[@]}" --database inventory --out "$backups/proof/inventory_proven.bak" \
  --verify restore --checkdb physical_only

step "retention: every point of the last 3 days stays restorable"
# A server whose clock moves six hours with every backup, so that a week of
# nightly runs takes seconds: each night a full backup of every database and
# two log backups of inventory. The cleanup's dry run says what would go
# and why the rest stays; the real run deletes exactly that. From then on
# the nightly run cleans up after each database's own backup (--keep).
start_server retention --backup-ms 5 --clock-step 21600
keep=(--host 127.0.0.1 --port "$port" --user sa)
week=$backups/week
mkdir -p "$week"
for day in 1 2 3 4 5 6 7; do
  vaultrun backup "${keep[@]}" --database inventory --database hr --out-dir "$week" \
    --name-template "{database}_full_day$day.bak" >/dev/null
  for n in 1 2; do
    vaultrun backup "${keep[@]}" --database inventory --type log --out "$week/inventory_log_day${day}_$n.trn" >/dev/null
  done
done
echo "a week of backups: $(ls "$week" | wc -l) files in $week"
show vaultrun cleanup "${keep[@]}" --database inventory --database hr --keep 3d --folder "$week" --dry-run
show vaultrun cleanup "${keep[@]}" --database inventory --database hr --keep 3d --folder "$week"
show ls "$week"
show vaultrun backup "${keep[@]}" --database inventory --database hr --out-dir "$week" \
  --name-template "{database}_full_day8.bak" --keep 3d --metrics-file "$work/nightly.prom"
show grep -E "^vaultrun_(cleanup|oldest|restore_window)" "$work/nightly.prom"

step "done"

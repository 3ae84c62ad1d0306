#!/usr/bin/env bash
# The monitoring path with its real parts, all on loopback: the CLI's runs
# write their metrics files into one text-file directory, Debian's
# prometheus-node-exporter reads it, and a prometheus server scrapes the
# exporter every second with deploy/prometheus's rules loaded. Through the
# server's HTTP API: every metric the README documents is there with its
# labels; the alerts this state must raise are pending or firing and no
# other is; every query of deploy/grafana/vaultrun.json evaluates and
# returns series. Every process started here is stopped in every outcome.
set -uo pipefail
NAME=monitoring_e2e_test
SOURCE_DIR=${VAULTRUN_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
VAULTRUN_BUILD_DIR=${VAULTRUN_BUILD_DIR:-$SOURCE_DIR/build}
# shellcheck source=lib/cli_harness.bash
source "$(dirname "$0")/lib/cli_harness.bash"

EXPORTER=$(command -v prometheus-node-exporter)
PROMETHEUS=$(command -v prometheus)
if [ -z "$EXPORTER" ] || [ -z "$PROMETHEUS" ]; then
  echo "FAIL: needs prometheus and prometheus-node-exporter (scripts/setup.sh test)"
  echo "0 passed, 1 failed"
  exit 1
fi

# A free loopback port (another process may take it before we do; rare).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# Waits (at most $2 tenths of a second) for the shell condition $1.
wait_for() {
  for _ in $(seq 1 "$2"); do
    eval "$1" && return 0
    sleep 0.1
  done
  return 1
}

# ---- The runs, as the deploy/ examples make them ---------------------------------
# sales and stock are backed up and proven; hr is damaged (its restored copy
# fails CHECKDB); notes is SIMPLE (skipped by log runs); archive is offline
# (skipped by backups; never backed up, so the restore test leaves it out).
# Each backup moves the server's clock two hours on, so that the cleanup at
# the end finds a history older than its window.
cat >"$WORK/sim.json" <<'JSON'
{"databases":[
  {"name":"sales","size_mb":8,"recovery":"FULL"},
  {"name":"stock","size_mb":8,"recovery":"FULL"},
  {"name":"hr","size_mb":8,"recovery":"FULL","damaged":true},
  {"name":"notes","size_mb":8,"recovery":"SIMPLE"},
  {"name":"archive","size_mb":8,"recovery":"FULL","state":"offline"}],
 "backup_ms":20,"clock_step_s":7200}
JSON
start_sim --config "$WORK/sim.json"
SERVER="127.0.0.1:$PORT"
TEXTFILE=$WORK/textfile
mkdir -p "$TEXTFILE" "$WORK/backup"
export VAULTRUN_PASSWORD=vaultrun
conn=(--port "$PORT" --user sa --json)
metrics() { echo "$TEXTFILE/vaultrun-sim-$1.prom"; }

run backup "${conn[@]}" --all --type full --if-older-than 20h --out-dir "$WORK/backup" --metrics-file "$(metrics full)"
expect_ok "full run"
run backup "${conn[@]}" --all --type log --if-older-than 10m --out-dir "$WORK/backup" --metrics-file "$(metrics log)"
expect_ok "log run"
expect_json "log run: notes skipped" 'db["notes"]["skipped"]' "SIMPLE recovery model"
# The differential run with a database that fails.
run backup "${conn[@]}" --database sales --database nosuchdb --type differential --out-dir "$WORK/backup" \
  --metrics-file "$(metrics differential)"
[ "$RC" -eq 1 ] && pass || fail "differential run with a failing database: exit $RC"
run restore-test "${conn[@]}" --all --parallel 1 --checkdb full --metrics-file "$(metrics restore-test)"
[ "$RC" -eq 1 ] && pass || fail "restore test: exit $RC, expected 1 (hr is damaged)"
expect_json "restore test: outcomes" \
  '(db["sales"]["outcome"], db["stock"]["outcome"], db["hr"]["outcome"], db["archive"]["skipped"])' \
  "('proven', 'proven', 'damaged', \"no full backup of it in this server's history\")"
# The cleanup after the runs, with a window of an hour: every set is older
# than that, sales' log backup is needed by no point (its differential came
# after it) and goes; the chains that restore to the newest point stay. The
# dry run first, as the README asks; its metrics file is the real run's.
run cleanup "${conn[@]}" --all --keep 1h --folder "$WORK/backup" --dry-run
expect_ok "cleanup dry run"
would=$(json_eval 'sorted(f["path"] for d in db.values() for f in d.get("result", {}).get("deleted", []))')
run cleanup "${conn[@]}" --all --keep 1h --folder "$WORK/backup" --metrics-file "$(metrics cleanup)"
expect_ok "cleanup"
gone=$(json_eval 'sorted(f["path"] for d in db.values() for f in d.get("result", {}).get("deleted", []))')
[ "$gone" = "$would" ] && python3 - "$gone" <<'PY' && pass || fail "cleanup deleted $gone, the dry run listed $would"
import ast, os, sys
gone = ast.literal_eval(sys.argv[1])
assert gone and not any(os.path.exists(p) for p in gone), gone
assert any(os.path.basename(p).startswith("sales_log_") for p in gone), gone
PY

# ---- The exporter and the server -------------------------------------------------
EXPORTER_PORT=$(free_port)
"$EXPORTER" --web.listen-address="127.0.0.1:$EXPORTER_PORT" --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$TEXTFILE" >"$WORK/exporter.log" 2>&1 &
PIDS+=($!)
PROM_PORT=$(free_port)
API="http://127.0.0.1:$PROM_PORT/api/v1"
# The expected servers' rules, for this one server.
sed "s/db01:1433/$SERVER/g" "$SOURCE_DIR/deploy/prometheus/vaultrun-expected.yml" >"$WORK/vaultrun-expected.yml"
cat >"$WORK/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $SOURCE_DIR/deploy/prometheus/vaultrun-alerts.yml
  - $WORK/vaultrun-expected.yml
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["127.0.0.1:$EXPORTER_PORT"]
YAML
"$PROMETHEUS" --config.file="$WORK/prometheus.yml" --storage.tsdb.path="$WORK/tsdb" \
  --web.listen-address="127.0.0.1:$PROM_PORT" >"$WORK/prometheus.log" 2>&1 &
PIDS+=($!)

# The exporter read every file (a file it cannot parse shows as an error).
wait_for "curl -sf http://127.0.0.1:$EXPORTER_PORT/metrics >'$WORK/scrape'" 100 &&
  grep -q '^node_textfile_scrape_error 0$' "$WORK/scrape" && pass ||
  fail "exporter: $(grep textfile "$WORK/scrape" 2>/dev/null) $(cat "$WORK/exporter.log")"
# The server scraped it, and its rules ran over what it scraped.
ready() {
  curl -sf "$API/query" --data-urlencode 'query=count(vaultrun_run_last_outcome)' >"$WORK/ready" 2>/dev/null &&
    python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; sys.exit(not r or r[0]["value"][1] != "5")' \
      <"$WORK/ready" && curl -sf "$API/rules" | python3 -c '
import json, sys
groups = json.load(sys.stdin)["data"]["groups"]
sys.exit(not groups or any(r.get("lastEvaluation", "").startswith("0001") for g in groups for r in g["rules"]))' \
      2>/dev/null
}
wait_for ready 300 && sleep 2 && pass || fail "prometheus never read the five runs: $(tail -5 "$WORK/prometheus.log")"

# ---- What the server holds ---------------------------------------------------------
python3 - "$API" "$SERVER" "$SOURCE_DIR/README.md" "$SOURCE_DIR/deploy/grafana/vaultrun.json" \
  "$SOURCE_DIR/deploy/prometheus/vaultrun-alerts.yml" >"$WORK/check" 2>&1 <<'PY'
import json, re, sys, time, urllib.parse, urllib.request
import yaml
api, server, readme_path, dashboard_path, rules_path = sys.argv[1:]
problems = []

def query(expr):
    url = api + "/query?" + urllib.parse.urlencode({"query": expr})
    with urllib.request.urlopen(url, timeout=10) as r:
        doc = json.load(r)
    if doc.get("status") != "success":
        raise RuntimeError(doc)
    return doc["data"]["result"]

# Every metric the README documents, with its labels: the table rows that
# name a metric ("| `vaultrun_...` | labels | ...").
readme = open(readme_path, encoding="utf-8").read()
documented = dict(re.findall(r"^\| `(vaultrun_[a-z_]+)` \| ([a-z_, ]+) \|", readme, re.M))
if len(documented) < 10:
    problems.append("the README documents only %d metrics" % len(documented))
for name, labels in sorted(documented.items()):
    want = {l.strip() for l in labels.split(",")}
    series = query(name + '{server="%s"}' % server)
    if not series:
        problems.append("no series of " + name)
        continue
    for s in series:
        got = set(s["metric"]) - {"__name__", "instance", "job"}
        if got != want:
            problems.append("%s has labels %s, the README says %s" % (name, sorted(got), sorted(want)))
    print("metric", name, " ".join(
        "{%s}=%s" % (",".join("%s=%s" % (k, v) for k, v in sorted(s["metric"].items())
                              if k not in ("__name__", "instance", "job", "server")), s["value"][1])
        for s in series))

# The cleanup: every database of the listing cleaned, sales' log backup
# gone, each promised the hour of --keep 1h, and each that was backed up
# restoring back further than that (archive, never backed up, restores to
# nothing and has no oldest point).
def by_database(name):
    return {s["metric"]["database"]: float(s["value"][1]) for s in query(name + '{server="%s"}' % server)}
cleaned = {"sales", "stock", "hr", "notes", "archive"}
success = by_database("vaultrun_cleanup_success")
deleted = by_database("vaultrun_cleanup_files_deleted")
freed = by_database("vaultrun_cleanup_freed_bytes")
promised = by_database("vaultrun_restore_window_promised_seconds")
oldest = by_database("vaultrun_oldest_restorable_timestamp_seconds")
if success != dict.fromkeys(cleaned, 1.0):
    problems.append("cleanup outcomes %s" % success)
if deleted.get("sales", 0) < 1 or freed.get("sales", 0) <= 0 or set(deleted) != cleaned or set(freed) != cleaned:
    problems.append("cleanup deleted %s, freed %s" % (deleted, freed))
if promised != dict.fromkeys(cleaned, 3600.0):
    problems.append("promised windows %s" % promised)
if set(oldest) != cleaned - {"archive"} or any(time.time() - t < 3600 for t in oldest.values()):
    problems.append("oldest restorable points %s" % oldest)

# The cleanup's rules read the series the run wrote: with its comparison
# turned round, each returns the databases it watches (a label renamed on
# either side would leave it silent, and the check of the alerts below
# would pass all the same).
rules = {r["alert"]: r["expr"] for g in yaml.safe_load(open(rules_path, encoding="utf-8"))["groups"] for r in g["rules"]}
for alert, compare, turned, want in (
        ("VaultrunRestoreWindowShort", "< on (server, database)", ">= on (server, database)", set(oldest)),
        ("VaultrunCleanupFailed", ") == 0", ") == 1", cleaned)):
    if compare not in rules.get(alert, ""):
        problems.append("%s has no %r" % (alert, compare))
        continue
    got = {s["metric"].get("database") for s in query(rules[alert].replace(compare, turned))}
    if got != want:
        problems.append("%s, turned round, returns %s, not %s" % (alert, sorted(got), sorted(want)))

# Every rule evaluates without error (a join that matches several series
# on one side fails at evaluation, and its alert never fires).
with urllib.request.urlopen(api + "/rules", timeout=10) as r:
    for g in json.load(r)["data"]["groups"]:
        for rule in g["rules"]:
            print("rule", rule["name"], rule.get("health"), rule.get("state", ""))
            if rule.get("health") != "ok":
                problems.append("rule %s: %s %s" % (rule["name"], rule.get("health"), rule.get("lastError", "")))

# The alerts: exactly these, each pending or firing.
with urllib.request.urlopen(api + "/alerts", timeout=10) as r:
    alerts = json.load(r)["data"]["alerts"]
got = sorted((a["labels"]["alertname"], a["labels"].get("database", ""), a["labels"].get("type", ""), a["state"],
              a.get("value", "")) for a in alerts)
for a in got:
    print("alert", *a[:4], "value=%s" % a[4])
want = {
    ("VaultrunBackupFailed", "nosuchdb", "differential"),
    ("VaultrunRunFailed", "", "differential"),
    ("VaultrunRunFailed", "", "restore_test"),
    ("VaultrunRestoreTestFailed", "hr", ""),
    ("VaultrunRestoreNotProven", "hr", ""),
}
seen = {a[:3] for a in got if a[3] in ("pending", "firing")}
if seen != want:
    problems.append("alerts: missing %s, unexpected %s" % (sorted(want - seen), sorted(seen - want)))

# Every panel's query of the dashboard, over every server.
dashboard = json.load(open(dashboard_path, encoding="utf-8"))
for panel in dashboard["panels"]:
    for t in panel.get("targets", []):
        expr = t["expr"].replace("$server", ".+")
        try:
            result = query(expr)
        except Exception as e:  # an expression the server refuses
            problems.append("panel %r: %s" % (panel["title"], e))
            continue
        if not result:
            problems.append("panel %r, query %s: no series" % (panel["title"], t["refId"]))
        print("panel", repr(panel["title"]), t["refId"], len(result), "series")

for p in problems:
    print("PROBLEM", p)
sys.exit(1 if problems else 0)
PY
rc=$?
grep -E '^(metric|rule|alert|panel) ' "$WORK/check"
[ "$rc" -eq 0 ] && pass || fail "prometheus: $(grep -v -E '^(metric|rule|alert|panel) ' "$WORK/check")"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# The scheduling examples in deploy/ stay in step with the CLI: each
# systemd service's and each Kubernetes CronJob's command line runs against
# the simulated server, with the password from the credential or the
# Secret (never on the command line), and must back up, skip and write its
# metrics file (the weekly restore test, run after the backups, must prove
# every database's restore; the full run cleans up after each backup); the units pass systemd-analyze verify where the machine has
# it; the alerting rules pass promtool check rules and their own unit tests,
# and every metric they use is one the runs wrote.
set -uo pipefail
NAME=deploy_test

SOURCE_DIR=${VAULTRUN_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
BUILD_DIR=${VAULTRUN_BUILD_DIR:-$SOURCE_DIR/build}
CLI=$BUILD_DIR/tools/cli/vaultrun
SIM=$BUILD_DIR/tools/sim/vaultrun-sim
DEPLOY=$SOURCE_DIR/deploy
for p in "$CLI" "$SIM"; do [ -x "$p" ] || { echo "$NAME: missing $p"; echo "0 passed, 1 failed"; exit 1; }; done

if ! command -v promtool >/dev/null 2>&1; then
  echo "$NAME: installing prometheus (promtool)" >&2
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q prometheus >&2 ||
      { apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q prometheus >&2; }
  else
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -q prometheus >&2
  fi
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/$NAME.XXXXXX")
SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT

PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }

# A server with a database for each kind of decision, and a login whose
# password the examples must bring from their secret store.
PASSWORD='S3cret-Pw'
cat >"$WORK/sim.json" <<JSON
{"logins":[{"user":"fleet","password":"$PASSWORD"}],
 "databases":[
  {"name":"sales","size_mb":8,"recovery":"FULL"},
  {"name":"hr","size_mb":8,"recovery":"SIMPLE"},
  {"name":"archive","size_mb":8,"recovery":"FULL","state":"offline"}],
 "backup_ms":50}
JSON
# Starts a simulator with an empty history (stopping the one before); sets
# PORT and SERVER_JSON.
start_sim() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; fi
  rm -f "$WORK/port"
  (cd "$WORK" && exec "$SIM" --port 0 --quiet --config "$WORK/sim.json") >"$WORK/port" 2>"$WORK/sim.err" &
  SIM_PID=$!
  PORT=
  for _ in $(seq 1 200); do
    PORT=$(head -n 1 "$WORK/port" 2>/dev/null)
    [ -n "$PORT" ] && break
    sleep 0.05
  done
  [ -n "$PORT" ] || { echo "$NAME: the simulator printed no port"; cat "$WORK/sim.err"; exit 1; }
  SERVER_JSON="{\"host\":\"127.0.0.1\",\"port\":$PORT,\"user\":\"fleet\"}"
}
start_sim
mkdir -p "$WORK/backup" "$WORK/textfile"

# Runs one example's command line (a JSON array, its paths already moved
# into $WORK) with the environment given, and checks what it printed: one
# JSON object a line, the summary last, nothing failed, each database of
# the catalog reported. Arguments: name, kind, argv JSON, then env pairs.
run_example() {
  local name=$1 kind=$2 argv=$3; shift 3
  if ! python3 - "$argv" "$kind" "$PASSWORD" "$@" >"$WORK/out" 2>&1 <<'PY'
import json, os, subprocess, sys
argv, kind, password = json.loads(sys.argv[1]), sys.argv[2], sys.argv[3]
env = {k: v for k, v in os.environ.items() if k != "VAULTRUN_PASSWORD"}
env.update(pair.split("=", 1) for pair in sys.argv[4:])
assert not any(password in a for a in argv), "the password is on the command line"
p = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
assert p.returncode == 0, (p.returncode, p.stdout, p.stderr)
docs = [json.loads(line) for line in p.stdout.splitlines()]
*per_db, summary = docs
assert summary.get("summary") is True and summary["failed"] == 0, summary
got = {d["database"]: d for d in per_db}
if kind == "restore-test":
    # The databases backed up before, each restored, checked and dropped;
    # archive, never backed up on this server, left out with the reason.
    assert set(got) == {"sales", "hr", "archive"}, got
    assert got.pop("archive")["skipped"] == "no full backup of it in this server's history", docs
    assert all(d["outcome"] == "proven" and d["dropped"] for d in got.values()), got
    assert summary["left_behind"] == 0, summary
    sys.exit(0)
assert set(got) == {"sales", "hr", "archive"}, got
assert got["archive"]["skipped"] == "OFFLINE", got["archive"]
assert got["sales"]["outcome"] == "succeeded", got["sales"]
want_hr = "skipped" if kind == "log" else "succeeded"
assert got["hr"]["outcome"] == want_hr, got["hr"]
# The full run cleans up after each backup that succeeded, and only then.
for name, d in got.items():
    assert ("cleanup" in d) == (kind == "full" and d["outcome"] == "succeeded"), d
    assert "cleanup" not in d or d["cleanup"]["outcome"] == "succeeded", d
PY
  then
    fail "$name: $(cat "$WORK/out")"
    return
  fi
  pass
  [ -s "$WORK/textfile/vaultrun-db01-$kind.prom" ] && grep -q "type=\"${kind/-/_}\"" "$WORK/textfile/vaultrun-db01-$kind.prom" &&
    pass || fail "$name: no metrics file for $kind"
  if [ "$kind" = full ]; then
    grep -q '^vaultrun_cleanup_success{server="[^"]*",database="sales"} 1$' "$WORK/textfile/vaultrun-db01-full.prom" &&
      grep -q '^vaultrun_restore_window_promised_seconds{server="[^"]*",database="sales"} 1209600$' \
        "$WORK/textfile/vaultrun-db01-full.prom" && pass || fail "$name: no cleanup samples in the full run's file"
  fi
}

# The paths of the examples, moved into $WORK.
moved() {
  sed -e "s#/usr/local/bin/vaultrun#$CLI#g" -e "s#/etc/vaultrun#$1#g" -e "s#/var/opt/mssql/backup#$WORK/backup#g" \
    -e "s#/var/lib/prometheus/node-exporter#$WORK/textfile#g" -e "s#\"/textfile/#\"$WORK/textfile/#g"
}

# ---- systemd -----------------------------------------------------------------------
mkdir -p "$WORK/etc" "$WORK/credentials"
echo "$SERVER_JSON" >"$WORK/etc/db01.json"
printf '%s\n' "$PASSWORD" >"$WORK/etc/db01.password"
for kind in full differential log restore-test; do
  unit=$DEPLOY/systemd/vaultrun-$kind@.service
  [ -f "$unit" ] && [ -f "$DEPLOY/systemd/vaultrun-$kind@.timer" ] || { fail "systemd $kind: unit or timer missing"; continue; }
  # The credential as systemd hands it over: a file named after it in a
  # directory of its own.
  cred=$(sed -n 's/^LoadCredential=password://p' "$unit" | sed 's/%i/db01/g' | moved "$WORK/etc")
  cp "$cred" "$WORK/credentials/password" 2>/dev/null || { fail "systemd $kind: no password credential"; continue; }
  # ExecStart as systemd reads it: %i the instance, $$ a dollar sign.
  argv=$(sed -n 's/^ExecStart=//p' "$unit" | sed -e 's/%i/db01/g' -e 's/\$\$/$/g' | moved "$WORK/etc" |
    python3 -c 'import json, shlex, sys; print(json.dumps(shlex.split(sys.stdin.read())))')
  run_example "systemd $kind" "$kind" "$argv" "CREDENTIALS_DIRECTORY=$WORK/credentials"
done
cp "$WORK/textfile"/*.prom "$WORK/" 2>/dev/null

# The units run as the vaultrun user, and the exporter's text-file directory
# is root's, mode 0755: the full unit's ExecStart, as an unprivileged user
# (nobody, standing in for vaultrun), cannot write its metrics file there
# until vaultrun.conf (tmpfiles.d) is applied, and then can.
if [ "$(id -u)" -eq 0 ] && command -v systemd-tmpfiles >/dev/null 2>&1 && command -v setpriv >/dev/null 2>&1 &&
  id nobody >/dev/null 2>&1; then
  start_sim
  echo "$SERVER_JSON" >"$WORK/etc/db01.json"
  chmod 0755 "$WORK" "$WORK/etc" "$WORK/credentials" && chmod 0644 "$WORK/etc/db01.json" "$WORK/credentials/password"
  mkdir -m 0755 "$WORK/exporter"
  # The program and its library, where the unprivileged user can reach
  # them: a build tree inside a private folder (mktemp -d) is out of reach.
  mkdir -m 0755 "$WORK/bin"
  cp "$CLI" "$WORK/bin/vaultrun" &&
    cp -L "$(ldd "$CLI" | awk '/libkestrova-vaultrun/ { print $3 }')" "$WORK/bin/" && chmod 0755 "$WORK/bin"/*
  script=$(sed -n 's/^ExecStart=//p' "$DEPLOY/systemd/vaultrun-full@.service" | sed -e 's/%i/db01/g' -e 's/\$\$/$/g' |
    moved "$WORK/etc" | sed -e "s#$WORK/textfile#$WORK/exporter#g" -e "s#$CLI#$WORK/bin/vaultrun#g" |
    python3 -c 'import shlex, sys; a = shlex.split(sys.stdin.read()); assert a[:2] == ["/bin/sh", "-c"]; print(a[2])')
  as_vaultrun() {
    env -i PATH=/usr/bin:/bin LD_LIBRARY_PATH="$WORK/bin" CREDENTIALS_DIRECTORY="$WORK/credentials" \
      setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups /bin/sh -c "$script" >"$WORK/out" 2>"$WORK/err"
  }
  as_vaultrun
  rc=$?
  [ "$rc" -eq 1 ] && grep -q "metrics file: cannot create .*Permission denied" "$WORK/err" && pass ||
    fail "unprivileged run without the tmpfiles entry: exit $rc: $(cat "$WORK/err")"
  sed -e "s#/var/lib/prometheus/node-exporter#$WORK/exporter#g" -e 's/u:vaultrun:/u:nobody:/' \
    "$DEPLOY/systemd/vaultrun.conf" >"$WORK/tmpfiles.conf"
  if systemd-tmpfiles --create "$WORK/tmpfiles.conf" >"$WORK/tmpfiles.out" 2>&1; then
    as_vaultrun
    rc=$?
    [ "$rc" -eq 0 ] && [ "$(stat -c '%U %a' "$WORK/exporter/vaultrun-db01-full.prom" 2>/dev/null)" = "nobody 644" ] &&
      [ "$(stat -c '%U %a' "$WORK/exporter")" = "root 775" ] && pass ||
      fail "unprivileged run with the tmpfiles entry: exit $rc: $(cat "$WORK/err") $(ls -la "$WORK/exporter")"
  else
    echo "$NAME: SKIP the unprivileged run: no ACLs here ($(cat "$WORK/tmpfiles.out"))"
  fi
else
  echo "$NAME: SKIP the unprivileged run: needs root, systemd-tmpfiles, setpriv and the user nobody"
fi

if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$WORK/units"
  cp "$DEPLOY"/systemd/* "$WORK/units/"
  for kind in full differential log restore-test; do
    if (cd "$WORK/units" && systemd-analyze verify "./vaultrun-$kind@db01.service" "./vaultrun-$kind@db01.timer") \
      >"$WORK/verify" 2>&1 && [ ! -s "$WORK/verify" ]; then
      pass
    else
      fail "systemd-analyze verify $kind: $(cat "$WORK/verify")"
    fi
  done
else
  echo "$NAME: SKIP systemd-analyze verify: not on this machine"
fi

# ---- Kubernetes --------------------------------------------------------------------
if python3 -c 'import yaml' 2>/dev/null; then
  rm -f "$WORK/textfile"/*.prom
  start_sim
  for kind in full differential log restore-test; do
    file=$DEPLOY/kubernetes/vaultrun-db01-$kind.yaml
    # The CronJob's rules, then its command line with the ConfigMap's mount
    # holding the test server's settings under the key the job reads.
    if ! python3 - "$file" "$DEPLOY/kubernetes/vaultrun-config.yaml" "$WORK/k8s-$kind" "$SERVER_JSON" \
      >"$WORK/argv" 2>"$WORK/k8s.err" <<'PY'
import json, os, sys, yaml
job = yaml.safe_load(open(sys.argv[1]))
objs = {(d["kind"], d["metadata"]["name"]): d for d in yaml.safe_load_all(open(sys.argv[2]))}
work, server_json = sys.argv[3], sys.argv[4]
assert job["kind"] == "CronJob" and job["spec"]["concurrencyPolicy"] == "Forbid", job["spec"]
pod = job["spec"]["jobTemplate"]["spec"]["template"]["spec"]
# Pinned to the node whose exporter reads the text-file directory.
assert pod.get("nodeSelector", {}).get("kubernetes.io/hostname"), pod.get("nodeSelector")
(c,) = pod["containers"]
env = {e["name"]: e for e in c.get("env", [])}
ref = env["VAULTRUN_PASSWORD"]["valueFrom"]["secretKeyRef"]
assert ref["key"] in objs[("Secret", ref["name"])]["stringData"], ref
volumes = {v["name"]: v for v in pod["volumes"]}
argv = c["command"] + c["args"]
mounts = {}
for m in c["volumeMounts"]:
    v = volumes[m["name"]]
    if "configMap" in v:
        data = objs[("ConfigMap", v["configMap"]["name"])]["data"]
        config = argv[argv.index("--config") + 1]
        assert os.path.dirname(config) == m["mountPath"] and os.path.basename(config) in data, (config, data)
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, os.path.basename(config)), "w") as f:
            f.write(server_json)
        mounts[m["mountPath"]] = work
    elif "hostPath" in v:
        metrics = argv[argv.index("--metrics-file") + 1]
        assert metrics.startswith(m["mountPath"] + "/"), (metrics, m)
assert "--password" not in argv
print(json.dumps([mounts.get(os.path.dirname(a), os.path.dirname(a)) + "/" + os.path.basename(a)
                  if os.path.dirname(a) in mounts else a for a in argv]))
PY
    then
      fail "kubernetes $kind: $(cat "$WORK/k8s.err")"
      continue
    fi
    pass
    argv=$(moved "$WORK/k8s-$kind" <"$WORK/argv")
    run_example "kubernetes $kind" "$kind" "$argv" "VAULTRUN_PASSWORD=$PASSWORD"
  done
else
  echo "$NAME: SKIP the Kubernetes examples: no python3-yaml"
fi

# ---- Prometheus --------------------------------------------------------------------
rules=$DEPLOY/prometheus/vaultrun-alerts.yml
if command -v promtool >/dev/null 2>&1; then
  promtool check rules "$rules" "$DEPLOY/prometheus/vaultrun-expected.yml" >"$WORK/promtool" 2>&1 && pass || fail "promtool check rules: $(cat "$WORK/promtool")"
  (cd "$DEPLOY/prometheus" && promtool test rules vaultrun-alerts.test.yml) >"$WORK/promtool" 2>&1 && pass ||
    fail "promtool test rules: $(cat "$WORK/promtool")"
else
  fail "no promtool (Debian's prometheus package)"
fi
# Every metric the rules use is one the runs above wrote (the cleanup's by
# the full run's --keep).
for metric in $(grep -o 'vaultrun_[a-z_]*' "$rules" | sort -u); do
  grep -qs "^$metric{" "$WORK"/*.prom "$WORK/textfile"/*.prom && pass ||
    fail "the rules use $metric, which no run wrote"
done

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

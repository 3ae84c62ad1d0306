#!/usr/bin/env bash
# tedious (Node.js), a second independent TDS client, against the simulated
# server; the checks are the Node.js program below. tedious comes from the npm
# registry into the build folder once. Without node or npm the check is
# skipped (exit 0 with a note), as it is when the registry is unreachable.
set -euo pipefail

BUILD_DIR=${VAULTRUN_BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build}
SIM=$BUILD_DIR/tools/sim/vaultrun-sim
[ -x "$SIM" ] || { echo "sim_tedious: no simulator at $SIM" >&2; exit 1; }

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "sim_tedious: node/npm not installed, skipped" >&2
  exit 0
fi

# tedious 18 is the last line that runs on Node 18 and 20.
MODULES=$BUILD_DIR/npm-tedious
if [ ! -d "$MODULES/node_modules/tedious" ]; then
  mkdir -p "$MODULES"
  if ! timeout 300 npm install --silent --no-audit --no-fund --prefix "$MODULES" tedious@18 >&2; then
    echo "sim_tedious: cannot install tedious from the npm registry, skipped" >&2
    exit 0
  fi
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sim_tedious.XXXXXX")
SIM_PIDS=()
cleanup() {
  for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

# Starts the simulator with extra arguments; sets PORT.
start_sim() {
  local out=$WORK/port.$RANDOM
  "$SIM" --port 0 --quiet --backup-ms 600 "$@" >"$out" &
  SIM_PIDS+=("$!")
  PORT=
  for _ in $(seq 1 100); do
    PORT=$(head -n 1 "$out" 2>/dev/null || true)
    [ -n "$PORT" ] && return 0
    sleep 0.05
  done
  echo "sim_tedious: the simulator printed no port" >&2
  exit 1
}

mkdir -p "$WORK/files"
cat >"$WORK/check.js" <<'JS'
// tedious, a second independent TDS client, against the simulated server.
// Usage: node check.js PORT WORKDIR [OPTIONS]   (tedious resolved from NODE_PATH)
// OPTIONS: JSON merged into the connection's options (encryption).
// Checks the version query, the listing, that backup progress arrives while
// the backup runs, a cancel (attention) in the middle of a backup, and a
// refused password. Exits 1 on the first disagreement.
'use strict';

const { Connection, Request } = require('tedious');
const fs = require('fs');
const path = require('path');

const port = Number(process.argv[2]);
const work = process.argv[3];
const extra = JSON.parse(process.argv[4] || '{}');
if (extra.cryptoCredentialsDetails && extra.cryptoCredentialsDetails.ca) {
  extra.cryptoCredentialsDetails.ca = fs.readFileSync(extra.cryptoCredentialsDetails.ca);
}

const VERSION_SQL =
  "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + " +
  "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))";
const LISTING_SQL =
  'SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM sys.databases d ' +
  'JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE d.database_id > 4 AND d.state = 0 ' +
  'GROUP BY d.name, d.recovery_model_desc ORDER BY d.name';

function fail(why) {
  console.error('FAIL: ' + why);
  process.exit(1);
}

function check(cond, why) {
  if (!cond) fail(why);
}

function connect(password) {
  return new Promise((resolve, reject) => {
    const c = new Connection({
      server: '127.0.0.1',
      authentication: { type: 'default', options: { userName: 'sa', password } },
      options: { port, encrypt: false, tdsVersion: '7_4', connectTimeout: 10000, requestTimeout: 30000, ...extra },
    });
    c.on('connect', (err) => (err ? reject(err) : resolve(c)));
    c.connect();
  });
}

// Runs sql; resolves with rows (arrays of values), the info messages and
// the time each arrived, or rejects with the request's error.
function run(c, sql, onInfo) {
  return new Promise((resolve, reject) => {
    const rows = [];
    const infos = [];
    const listener = (m) => {
      infos.push({ number: m.number, message: m.message, at: Date.now() });
      if (onInfo) onInfo(m);
    };
    c.on('infoMessage', listener);
    const r = new Request(sql, (err) => {
      c.removeListener('infoMessage', listener);
      if (err) reject(err);
      else resolve({ rows, infos, done: Date.now() });
    });
    r.on('row', (cols) => rows.push(cols.map((x) => x.value)));
    c.execSqlBatch(r);  // a plain SQL batch, as the library sends (execSql would be an RPC)
  });
}

function quote(p) {
  return "N'" + p.replace(/'/g, "''") + "'";
}

async function main() {
  const c = await connect('vaultrun');

  const v = await run(c, VERSION_SQL);
  check(v.rows.length === 1 && v.rows[0][0] === '16.0.4135.4 Developer Edition (64-bit)',
    'version row: ' + JSON.stringify(v.rows));

  const l = await run(c, LISTING_SQL);
  check(JSON.stringify(l.rows) ===
    JSON.stringify([['hr', 16, 'BULK_LOGGED'], ['inventory', 64, 'FULL'], ['sales', 512, 'SIMPLE']]),
    'listing rows: ' + JSON.stringify(l.rows));

  // Progress arrives while the backup runs, not all at the end.
  const bak = path.join(work, "it's.bak");
  const started = Date.now();
  const b = await run(c, `BACKUP DATABASE [hr] TO DISK = ${quote(bak)} WITH STATS = 20, COPY_ONLY`);
  const numbers = b.infos.map((m) => m.number);
  check(JSON.stringify(numbers) === JSON.stringify([3211, 3211, 3211, 3211, 3211, 4035, 3014]),
    'backup messages: ' + JSON.stringify(numbers));
  check(b.infos[0].message === '20 percent processed.', 'first progress: ' + b.infos[0].message);
  // Streaming shows as a gap between the first message and the end; a slow
  // start on a loaded machine only delays both, so the start is not measured.
  check(b.done - b.infos[0].at >= 200,
    `the first progress message came late (${b.infos[0].at - started} of ${b.done - started} ms)`);
  check(fs.existsSync(bak), 'no backup file');
  const ok = await run(c, `RESTORE VERIFYONLY FROM DISK = ${quote(bak)}`);
  check(ok.infos.some((m) => m.number === 3262), 'verification: ' + JSON.stringify(ok.infos));

  // A cancel after the first progress message: tedious sends an attention
  // and waits for its acknowledgment; no file is left behind.
  const cancelled = path.join(work, 'cancelled.bak');
  let err = null;
  try {
    await run(c, `BACKUP DATABASE [sales] TO DISK = ${quote(cancelled)} WITH STATS = 5`, () => c.cancel());
  } catch (e) {
    err = e;
  }
  check(err && err.code === 'ECANCEL', 'cancel: ' + (err ? err.code + ' ' + err.message : 'not cancelled'));
  check(!fs.existsSync(cancelled), 'a cancelled backup left a file');
  check(fs.readdirSync(work).filter((f) => f.startsWith('cancelled')).length === 0, 'a partial file was left');
  const again = await run(c, VERSION_SQL);
  check(again.rows.length === 1, 'the connection did not recover after the cancel');

  // A server error reaches the client with its text.
  try {
    await run(c, `BACKUP DATABASE [nope] TO DISK = ${quote(path.join(work, 'x.bak'))} WITH STATS = 5`);
    fail('a backup of a missing database succeeded');
  } catch (e) {
    // Several server errors come as one AggregateError.
    const texts = (e.errors || [e]).map((x) => x.message);
    check(JSON.stringify(texts) === JSON.stringify([
      "Database 'nope' does not exist. Make sure that the name is entered correctly.",
      'BACKUP DATABASE is terminating abnormally.']), 'error texts: ' + JSON.stringify(texts));
  }
  c.close();

  try {
    const bad = await connect('wrong');
    bad.close();
    fail('a wrong password was accepted');
  } catch (e) {
    check(/Login failed for user 'sa'\./.test(e.message), 'login failure text: ' + e.message);
  }
  console.log('sim_tedious: tedious agrees with the simulator');
}

main().catch((e) => fail(e.stack || String(e)));
JS
FAILURES=0
# Runs the checks against a simulator started with the arguments after the
# options; with a log, it must show that TLS was agreed.
run_check() {
  local name=$1 options=$2
  shift 2
  rm -rf "$WORK/files" && mkdir -p "$WORK/files"
  : >"$WORK/sim.log"
  start_sim --log "$WORK/sim.log" "$@"
  if ! NODE_PATH=$MODULES/node_modules timeout 120 node --no-deprecation "$WORK/check.js" "$PORT" "$WORK/files" "$options"; then
    echo "FAIL: $name" >&2
    FAILURES=$((FAILURES + 1))
    return 0
  fi
  if [ "$options" != '{}' ] && ! grep -qE '^TLS established: TLSv1\.[23]$' "$WORK/sim.log"; then
    echo "FAIL: $name: no TLS in the simulator's log: $(head -n 3 "$WORK/sim.log")" >&2
    FAILURES=$((FAILURES + 1))
  fi
}

run_check "clear text" '{}'
# Encrypted, the certificate not checked, then checked against the PEM the
# simulator wrote (its name 127.0.0.1 included), then strict TLS.
run_check "encrypt: true, trusting the server" '{"encrypt":true,"trustServerCertificate":true}' --encryption on
run_check "encrypt: true, the CA given" \
  "{\"encrypt\":true,\"trustServerCertificate\":false,\"cryptoCredentialsDetails\":{\"ca\":\"$WORK/cert.pem\"}}" \
  --encryption req --tls-cert-out "$WORK/cert.pem"
run_check "encrypt: strict" \
  "{\"encrypt\":\"strict\",\"cryptoCredentialsDetails\":{\"ca\":\"$WORK/strict.pem\"}}" \
  --strict --tls-cert-out "$WORK/strict.pem"

[ "$FAILURES" -eq 0 ] || { echo "sim_tedious: $FAILURES run(s) failed" >&2; exit 1; }

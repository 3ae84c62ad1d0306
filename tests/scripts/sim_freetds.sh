#!/usr/bin/env bash
# FreeTDS's tsql, an independent TDS 7.4 client, against the simulated
# server: login, the version query, the database listing (also at another
# packet size), a streamed backup and its verification, a refused password,
# and the same over TLS: encryption required against --encryption on and
# req, the login alone encrypted against off, the certificate checked
# against the PEM the simulator wrote, and refused when it names another
# host or has expired; and the result sets of a restore (the history with
# its LSNs, RESTORE LABELONLY, HEADERONLY and FILELISTONLY, with their
# datetime, numeric, uniqueidentifier, bit, char and varbinary columns)
# decoded, and a restore under a new name listed. When tsql and the
# simulator disagree, the simulator is wrong.
set -euo pipefail

BUILD_DIR=${VAULTRUN_BUILD_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/build}
SIM=$BUILD_DIR/tools/sim/vaultrun-sim
[ -x "$SIM" ] || { echo "sim_freetds: no simulator at $SIM" >&2; exit 1; }

if ! command -v tsql >/dev/null 2>&1; then
  echo "sim_freetds: installing freetds-bin" >&2
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q freetds-bin >&2 ||
      { apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q freetds-bin >&2; }
  else
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -q freetds-bin >&2
  fi
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/sim_freetds.XXXXXX")
SIM_PIDS=()
cleanup() {
  for pid in "${SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

FAILURES=0
fail() { echo "FAIL: $*" >&2; FAILURES=$((FAILURES + 1)); }

# Starts the simulator with extra arguments; sets PORT.
start_sim() {
  local out=$WORK/port.$RANDOM
  "$SIM" --port 0 --quiet "$@" >"$out" &
  SIM_PIDS+=("$!")
  for _ in $(seq 1 100); do
    PORT=$(head -n 1 "$out" 2>/dev/null || true)
    [ -n "$PORT" ] && return 0
    sleep 0.05
  done
  echo "sim_freetds: the simulator printed no port" >&2
  exit 1
}

# Runs tsql with the given password and the statements on standard input;
# stdout and stderr go to $WORK/out and $WORK/err.
run_tsql() {
  local password=$1
  TDSVER=7.4 timeout 30 tsql -H 127.0.0.1 -p "$PORT" -U sa -P "$password" \
    >"$WORK/out" 2>"$WORK/err" || return $?
}

# Like run_tsql, through a freetds.conf entry with the given encryption
# level and, when a second argument names one, a CA file to verify against.
run_tsql_tls() {
  local level=$1 ca=${2:-}
  {
    printf '[sim]\n  host = 127.0.0.1\n  port = %s\n  tds version = 7.4\n  encryption = %s\n' "$PORT" "$level"
    [ -z "$ca" ] || printf '  ca file = %s\n' "$ca"
  } >"$WORK/freetds.conf"
  FREETDSCONF=$WORK/freetds.conf timeout 30 tsql -S sim -U sa -P vaultrun \
    >"$WORK/out" 2>"$WORK/err" || return $?
}

expect_line() {  # file, exact line
  grep -qxF -- "$2" "$1" || fail "expected the line '$2' in $(basename "$1"):
$(cat "$1")"
}

VERSION_SQL="SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))"
LISTING_SQL="SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name"
TAB=$'\t'

# 1. Version and listing with the default catalog.
start_sim --backup-ms 300
printf '%s\ngo\n%s\ngo\nexit\n' "$VERSION_SQL" "$LISTING_SQL" | run_tsql vaultrun || fail "tsql exited with $?"
expect_line "$WORK/out" "16.0.4135.4 Developer Edition (64-bit)"
expect_line "$WORK/out" "hr${TAB}16${TAB}BULK_LOGGED"
expect_line "$WORK/out" "inventory${TAB}64${TAB}FULL"
expect_line "$WORK/out" "sales${TAB}512${TAB}SIMPLE"
expect_line "$WORK/out" "(3 rows affected)"
grep -q archive "$WORK/out" && fail "the offline database was listed"

# 2. A streamed backup (many packets, one message) and its verification.
BAK="$WORK/it's here.bak"
printf "BACKUP DATABASE [inventory] TO DISK = N'%s' WITH STATS = 5, COMPRESSION\ngo\nRESTORE VERIFYONLY FROM DISK = N'%s'\ngo\nexit\n" \
  "${BAK//\'/\'\'}" "${BAK//\'/\'\'}" | run_tsql vaultrun || fail "tsql exited with $? on the backup"
grep -qF '"5 percent processed."' "$WORK/err" || fail "no progress message: $(cat "$WORK/err")"
grep -qF '"100 percent processed."' "$WORK/err" || fail "no final progress message"
grep -qF '"Processed 8192 pages for database '"'inventory'"', file '"'inventory'"' on file 1."' "$WORK/err" ||
  fail "no 4035 message: $(cat "$WORK/err")"
grep -qF 'BACKUP DATABASE successfully processed 8192 pages in' "$WORK/err" || fail "no 3014 message"
grep -qF '"The backup set on file 1 is valid."' "$WORK/err" || fail "the verification did not pass"
[ -f "$BAK" ] || fail "no backup file at $BAK"

# 3. A wrong password is refused with the server's message.
if run_tsql wrong </dev/null; then fail "a wrong password was accepted"; fi
grep -qF "Login failed for user 'sa'." "$WORK/err" || fail "no login failure message: $(cat "$WORK/err")"

# 4. More rows than one packet holds, at a packet size of 8192.
start_sim --databases 300 --packet-size 8192
printf '%s\ngo\nexit\n' "$LISTING_SQL" | run_tsql vaultrun || fail "tsql exited with $? on the long listing"
expect_line "$WORK/out" "(303 rows affected)"
expect_line "$WORK/out" "db0300${TAB}$((8 + (300 * 37) % 120))${TAB}FULL"

# 5. Over TLS: encryption required against a server that answers ON or REQ
# (the whole connection encrypted), and requested against one that answers
# OFF (the login alone encrypted); once with the handshake spread over
# small packets of type 0x04. The simulator's log shows that TLS was really
# agreed, and that the statements arrived.
for case in "on require" "req require --split=64 --tls-packet-type=reply" "off request"; do
  read -r enc level extra <<<"$case"
  : >"$WORK/tls.log"
  # shellcheck disable=SC2086  # extra is a list of flags
  start_sim --encryption "$enc" --log "$WORK/tls.log" $extra
  printf '%s\ngo\n%s\ngo\nexit\n' "$VERSION_SQL" "$LISTING_SQL" | run_tsql_tls "$level" ||
    fail "tsql ($level against --encryption $enc) exited with $?: $(cat "$WORK/err")"
  expect_line "$WORK/out" "16.0.4135.4 Developer Edition (64-bit)"
  expect_line "$WORK/out" "inventory${TAB}64${TAB}FULL"
  expect_line "$WORK/out" "(3 rows affected)"
  grep -qE '^TLS established: TLSv1\.[23]$' "$WORK/tls.log" ||
    fail "no TLS with --encryption $enc: $(cat "$WORK/tls.log")"
  grep -qF "$LISTING_SQL" "$WORK/tls.log" || fail "the listing is not in the log of --encryption $enc"
done

# 6. The certificate: trusted through the PEM the simulator wrote (its name
# 127.0.0.1 checked), refused when it names another host or has expired.
for fault in none wrong-name expired; do
  : >"$WORK/tls.log"
  rm -f "$WORK/cert.pem"
  start_sim --encryption req --tls-fault "$fault" --tls-cert-out "$WORK/cert.pem" --log "$WORK/tls.log"
  if printf '%s\ngo\nexit\n' "$VERSION_SQL" | run_tsql_tls require "$WORK/cert.pem"; then
    [ "$fault" = none ] || fail "tsql accepted the certificate of --tls-fault $fault"
    [ "$fault" != none ] || expect_line "$WORK/out" "16.0.4135.4 Developer Edition (64-bit)"
  else
    [ "$fault" != none ] || fail "tsql did not trust the simulator's own certificate: $(cat "$WORK/err")"
    grep -q '^TLS established' "$WORK/tls.log" && fail "TLS was established with --tls-fault $fault"
  fi
done

# 7. A restore's result sets and a restore under a new name.
start_sim --backup-ms 100
FULL="$WORK/inv_full.bak"
HISTORY_SQL="SELECT s.backup_set_id, s.media_set_id, s.position, s.type, s.is_copy_only, s.first_lsn, s.last_lsn, s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, s.backup_start_date, s.backup_finish_date, s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, s.fork_point_lsn, m.media_family_count, f.family_sequence_number, f.physical_device_name, f.device_type FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = N'inventory' ORDER BY s.backup_set_id, f.family_sequence_number"
FOLDERS_SQL="SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS data_path, CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS nvarchar(4000)) AS log_path"
{
  printf "BACKUP DATABASE [inventory] TO DISK = N'%s'\ngo\n" "$FULL"
  printf "BACKUP LOG [inventory] TO DISK = N'%s'\ngo\n" "$WORK/inv_log.trn"
  printf '%s\ngo\n%s\ngo\n' "$FOLDERS_SQL" "$HISTORY_SQL"
  printf "RESTORE LABELONLY FROM DISK = N'%s'\ngo\n" "$FULL"
  printf "RESTORE HEADERONLY FROM DISK = N'%s'\ngo\n" "$FULL"
  printf "RESTORE FILELISTONLY FROM DISK = N'%s' WITH FILE = 1\ngo\n" "$FULL"
  printf "RESTORE DATABASE [inv_copy] FROM DISK = N'%s' WITH FILE = 1, NORECOVERY, MOVE N'inventory' TO N'%s', MOVE N'inventory_log' TO N'%s', STATS = 50\ngo\n" \
    "$FULL" "$WORK/inv_copy.mdf" "$WORK/inv_copy.ldf"
  printf "RESTORE LOG [inv_copy] FROM DISK = N'%s' WITH FILE = 1, NORECOVERY\ngo\n" "$WORK/inv_log.trn"
  printf 'RESTORE DATABASE [inv_copy] WITH RECOVERY\ngo\n%s\ngo\nexit\n' "$LISTING_SQL"
} | run_tsql vaultrun || fail "tsql exited with $? on the restore"
GUID='[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}'
LSN='[0-9]{17}'
DATA_DIR=$(grep -E '^/.*/data/	/.*/log/$' "$WORK/out" | cut -f1)
[ -n "$DATA_DIR" ] || fail "no default folders: $(cat "$WORK/out")"
grep -qE "^1${TAB}1${TAB}1${TAB}D${TAB}0${TAB}${LSN}${TAB}${LSN}${TAB}${LSN}${TAB}0${TAB}NULL${TAB}.+${TAB}1${TAB}${FULL}${TAB}2\$" "$WORK/out" ||
  fail "no history row of the full backup: $(cat "$WORK/out")"
grep -qE "^2${TAB}2${TAB}1${TAB}L${TAB}0${TAB}${LSN}${TAB}" "$WORK/out" || fail "no history row of the log backup"
grep -qE "^NULL${TAB}${GUID}${TAB}1${TAB}1${TAB}${GUID}${TAB}1${TAB}1${TAB}NULL${TAB}" "$WORK/out" ||
  fail "no media label: $(cat "$WORK/out")"
grep -qE "BackupName${TAB}BackupDescription${TAB}BackupType${TAB}ExpirationDate${TAB}Compressed${TAB}Position" "$WORK/out" ||
  fail "no header columns"
grep -qE "^NULL${TAB}NULL${TAB}1${TAB}NULL${TAB}0${TAB}1${TAB}2${TAB}sa${TAB}VAULTRUN-SIM${TAB}inventory${TAB}957${TAB}.+${TAB}67108864${TAB}${LSN}${TAB}" "$WORK/out" ||
  fail "no header row: $(cat "$WORK/out")"
grep -qE "^inventory${TAB}${DATA_DIR}inventory.mdf${TAB}D${TAB}PRIMARY${TAB}50331648${TAB}35184372080640${TAB}1${TAB}" "$WORK/out" ||
  fail "no data file in the file list"
grep -qE "^inventory_log${TAB}.+/log/inventory_log.ldf${TAB}L${TAB}NULL${TAB}16777216${TAB}" "$WORK/out" ||
  fail "no log file in the file list"
grep -qF 'RESTORE DATABASE successfully processed 8194 pages in' "$WORK/err" || fail "no 3014 of the restore: $(cat "$WORK/err")"
grep -qF 'RESTORE LOG successfully processed' "$WORK/err" || fail "no 3014 of the log restore"
grep -q 'Msg [0-9]* (severity 16' "$WORK/err" && fail "an error: $(cat "$WORK/err")"
expect_line "$WORK/out" "inv_copy${TAB}64${TAB}FULL"

if [ "$FAILURES" -ne 0 ]; then
  echo "sim_freetds: $FAILURES check(s) failed" >&2
  exit 1
fi
echo "sim_freetds: tsql agrees with the simulator"

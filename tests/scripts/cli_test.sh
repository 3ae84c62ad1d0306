#!/usr/bin/env bash
# The command-line host as its users meet it: argument handling, help,
# version and exit codes without a server; then, against the simulated
# server, the connection test, the listing (table and --json), configuration
# from a file and from standard input, passwords that need escaping, backups
# with and without verification, failures that name their cause, time-outs
# and Ctrl-C during a backup.
# A && pass || fail: pass never fails. "run test" is our function, not test(1).
# shellcheck disable=SC2015,SC2065
set -uo pipefail
NAME=cli_test
# shellcheck source=lib/cli_harness.bash
source "$(dirname "$0")/lib/cli_harness.bash"

# The harness's run, but stdin is the caller's: some cases feed the
# configuration through it. Sets RC.
run() {
  timeout -s KILL 60 "$CLI" "$@" >"$WORK/out" 2>"$WORK/err"
  RC=$?
}

expect_line() {  # name, exact line of stdout
  if grep -qxF -- "$2" "$WORK/out"; then pass; else fail "$1: no line '$2'"; fi
}

# ---- Without a server ------------------------------------------------------

# Usage errors: name | arguments (split on blanks) | part of the message.
while IFS='|' read -r name args pattern; do
  [ -z "$name" ] && continue
  # shellcheck disable=SC2086
  run $args </dev/null
  expect_error "usage: $name" 2 "$pattern"
done <<'EOF'
no command||a command is required
unknown command|frob|unknown command 'frob'
unknown option|test --user sa --frob|unknown option '--frob'
option before any command|--user sa|needs a command
stray argument|list --user sa extra|unexpected argument 'extra'
value missing at the end|test --user|option --user needs a value
switch given a value|list --user sa --json=yes|takes no value
port not a number|test --user sa --port abc|--port takes a whole number
port zero|test --user sa --port 0|--port takes a whole number
port above range|test --user sa --port=65536|--port takes a whole number
negative time-out|test --user sa --connect-timeout -1|--connect-timeout takes seconds
time-out not a number|list --user sa --query-timeout soon|--query-timeout takes seconds
password as a flag|test --user sa --password secret|never a command-line option
backup option on list|list --user sa --no-verify|applies to backup only
encrypt mode unknown|test --user sa --encrypt yes|--encrypt takes true, false or strict
test without user|test|a user is required
backup without user|backup --database hr --out /x.bak|a user is required
backup without database|backup --user sa --out /x.bak|a database is required
backup without out|backup --user sa --database hr|an output path on the server is required
help for no command|help frob|unknown command 'frob'
EOF

# The library keeps texts in fixed fields; what would be cut is refused.
long_path="/$(printf 'p%.0s' $(seq 1 1100)).bak"
run backup --user sa --database hr --out "$long_path" </dev/null
expect_error "usage: output path too long" 2 "output path is too long"
run backup --user "$(printf 'u%.0s' $(seq 1 128))" --database hr --out /x.bak </dev/null
expect_error "usage: user name too long" 2 "user name is too long"
run backup --user sa --database "$(printf '\xd0\x96%.0s' $(seq 1 129))" --out /x.bak </dev/null
expect_error "usage: database name too long" 2 "database name is too long"
run test --user $'a\001b' </dev/null
expect_error "usage: control character" 2 "control character"

# Configuration files that cannot be used are usage errors too.
printf '{"user":"sa",' >"$WORK/open.json"
printf '["sa"]' >"$WORK/array.json"
printf '{"user":"sa","port":"abc"}' >"$WORK/port.json"
printf '{"user":"sa","verify":"no"}' >"$WORK/verify.json"
printf '{"user":"sa","connect_timeout_ms":-5}' >"$WORK/timeout.json"
while IFS='|' read -r name file pattern; do
  run test --config "$file" </dev/null
  expect_error "config: $name" 2 "$pattern"
done <<EOF
missing file|$WORK/none.json|cannot open
object left open|$WORK/open.json|object left open
not an object|$WORK/array.json|must hold a JSON object
port not a number|$WORK/port.json|"port" must be a whole number
flag not a boolean|$WORK/verify.json|"verify" must be true, false or "restore"
negative time-out|$WORK/timeout.json|"connect_timeout_ms" must be
EOF

for cmd in "" test list backup; do
  # shellcheck disable=SC2086
  run $cmd --help </dev/null
  expect_ok "help: '${cmd:-vaultrun}'"
  head -n 1 "$WORK/out" | grep -q "^usage: vaultrun ${cmd:-COMMAND}" && pass || fail "help: '$cmd' usage line"
done
run help backup </dev/null
grep -q -- '--no-verify' "$WORK/out" && pass || fail "help backup: no backup options"
grep -q 'VAULTRUN_PASSWORD' "$WORK/out" && pass || fail "help backup: the password's sources are not described"

run --version </dev/null
expect_ok "version"
[ "$(cat "$WORK/out")" = "kestrova-vaultrun 1.0.0" ] && pass || fail "version text"

# Nothing listens on a port that was just free: the connection is refused.
closed_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null || echo 1)
for cmd in test list; do
  run $cmd --user sa --port "$closed_port" </dev/null
  expect_error "refused: $cmd" 1 "127.0.0.1:$closed_port"
done
run backup --user sa --port "$closed_port" --database hr --out "$WORK/r.bak" </dev/null
expect_error "refused: backup" 1 "backup of hr failed"
# The encryption flags reach the library, which refuses these before connecting.
run test --user sa --port "$closed_port" --encrypt strict --trust-server-certificate </dev/null
expect_error "strict with trust" 1 "trust_server_certificate cannot be used with strict encryption"
run list --user sa --port "$closed_port" --encrypt true --ca-file "$WORK/none.pem" </dev/null
expect_error "unreadable ca_file" 1 "cannot read ca_file"
# A name of 128 two-byte letters is a real name: it goes to the server.
run backup --user sa --port "$closed_port" --database "$(printf '\xd0\x96%.0s' $(seq 1 128))" --out "$WORK/r.bak" </dev/null
expect_error "refused: backup of a long name" 1 "failed"

# ---- Against the simulated server ------------------------------------------

if [ ! -x "$SIM" ]; then
  echo "cli_test: SKIP the server-side cases: no simulator at $SIM"
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ]
  exit
fi

export VAULTRUN_PASSWORD=vaultrun
start_sim --backup-ms 1500 --log "$WORK/sim.log"
MAIN_PORT=$PORT
CONN=(--user sa --port "$MAIN_PORT")

run test "${CONN[@]}" </dev/null
expect_ok "test"
expect_line "test" "connected to 127.0.0.1:$MAIN_PORT as sa: 16.0.4135.4 Developer Edition (64-bit)"

run test "${CONN[@]}" --json </dev/null
expect_ok "test --json"
expect_line "test --json" '{"ok":true,"server_version":"16.0.4135.4 Developer Edition (64-bit)"}'

VAULTRUN_PASSWORD=wrong run test "${CONN[@]}" </dev/null
expect_error "wrong password" 1 "Login failed for user 'sa'"

run list "${CONN[@]}" </dev/null
expect_ok "list"
cat >"$WORK/table" <<'EOF'
NAME       SIZE (MB)  RECOVERY
hr                16  BULK_LOGGED
inventory         64  FULL
sales            512  SIMPLE
EOF
diff "$WORK/table" "$WORK/out" >/dev/null && pass || fail "list: table differs from $(cat "$WORK/table")"

run list "${CONN[@]}" --json </dev/null
expect_ok "list --json"
expect_line "list --json" '{"ok":true,"databases":[{"name":"hr","size_mb":16,"recovery":"BULK_LOGGED"},{"name":"inventory","size_mb":64,"recovery":"FULL"},{"name":"sales","size_mb":512,"recovery":"SIMPLE"}]}'

# An IPv6 address, with brackets or without, is named once in brackets.
for host in ::1 '[::1]'; do
  run test --user sa --host "$host" --port "$closed_port" </dev/null
  expect_error "refused: $host" 1 "vaultrun: [::1]:$closed_port: connect failed"
done

# A server that requires encryption: the library's refusal as it always
# read, then a line that points at --encrypt rather than at the server.
start_sim --encryption req
run test --user sa --port "$PORT" </dev/null
if [ "$RC" -ne 1 ]; then fail "encryption required: exit $RC"
elif [ "$(wc -l <"$WORK/err")" -ne 2 ]; then fail "encryption required: expected two lines on stderr"
elif ! head -n 1 "$WORK/err" | grep -qxF "vaultrun: 127.0.0.1:$PORT: server requires encryption (TLS) - not supported; disable Force Encryption"; then
  fail "encryption required: the library's text changed"
elif ! tail -n 1 "$WORK/err" | grep -q '^vaultrun: hint: --encrypt true .*--ca-file'; then
  fail "encryption required: no hint about --encrypt and --ca-file"
else pass
fi

# Names the server chose: escapes are decoded, wide characters aligned, and
# control characters never reach the terminal raw.
start_sim --empty-catalog --database 'q"uote\back:3:FULL' --database 'café:1234:SIMPLE' \
  --database $'\e[31mred:7:FULL'
LC_ALL=C.UTF-8 run list --user sa --port "$PORT" </dev/null
expect_ok "list: odd names"
printf '%s\n' 'NAME         SIZE (MB)  RECOVERY' '?[31mred             7  FULL' 'café              1234  SIMPLE' \
  'q"uote\back          3  FULL' >"$WORK/table"
diff "$WORK/table" "$WORK/out" >/dev/null && pass || fail "list: odd names table"
run list --user sa --port "$PORT" --json </dev/null
grep -qF '"name":"q\"uote\\back"' "$WORK/out" && grep -qF '\u001b[31mred' "$WORK/out" && pass ||
  fail "list --json: not the library's answer unchanged"

start_sim --empty-catalog
run list --user sa --port "$PORT" </dev/null
expect_ok "list: empty catalog"
expect_line "list: empty catalog" "no online user databases on 127.0.0.1:$PORT"

# Passwords reach the server exactly, whatever they hold and wherever they
# come from; the environment wins over the file, flags over the file.
start_sim --login 'bob:p"w\x\u0041' --login 'eve:pé' --login 'tty:s3cr3t'
BOB_PORT=$PORT
VAULTRUN_PASSWORD='p"w\x\u0041' run test --user bob --port "$BOB_PORT" </dev/null
expect_ok "password with quote, backslash and \\u"
printf '{"user":"eve","port":%s,"password":"p\\u00e9"}' "$BOB_PORT" >"$WORK/eve.json"
unset VAULTRUN_PASSWORD
run test --config "$WORK/eve.json" </dev/null
expect_ok "password from the file, written with \\u"
export VAULTRUN_PASSWORD=vaultrun
VAULTRUN_PASSWORD=wrong run test --config "$WORK/eve.json" </dev/null
expect_error "environment password wins over the file" 1 "Login failed"
printf '{"user":"nobody","port":1,"connect_timeout_ms":2000,"unknown":{"host":"x"}}' >"$WORK/over.json"
run test --config "$WORK/over.json" --user sa --port "$MAIN_PORT" </dev/null
expect_ok "flags override the file"
run list --config - --json <<<"{\"user\":\"sa\",\"port\":$MAIN_PORT}"
expect_ok "config from standard input"
grep -qF '"name":"inventory"' "$WORK/out" && pass || fail "config from standard input: listing"

# On a terminal: the password is asked for without echo (Ctrl-C at the
# prompt ends the program), and the backup's progress is a bar redrawn in
# place. script(1) gives the program a terminal.
if command -v script >/dev/null 2>&1; then
  on_tty() {  # keys to type, then the CLI's arguments
    local keys=$1; shift
    local cmd
    cmd=$(printf '%q ' "$CLI" "$@")
    (sleep 1; printf '%b' "$keys") | timeout -s KILL 60 script -qec "$cmd" /dev/null >"$WORK/out" 2>&1
    RC=$?
    : >"$WORK/err"
  }
  unset VAULTRUN_PASSWORD
  on_tty 's3cr3t\n' test --user tty --port "$BOB_PORT"
  expect_ok "prompt: password typed"
  grep -qF "Password for tty on 127.0.0.1:$BOB_PORT: " "$WORK/out" && pass || fail "prompt: no prompt"
  grep -q s3cr3t "$WORK/out" && fail "prompt: the password was echoed" || pass
  on_tty '\003' test --user tty --port "$BOB_PORT"
  [ "$RC" -eq 130 ] && pass || fail "prompt: Ctrl-C gave exit $RC"
  export VAULTRUN_PASSWORD=vaultrun
  on_tty '' backup "${CONN[@]}" --database hr --out "$WORK/hr-tty.bak"
  expect_ok "progress bar"
  grep -qE $'\r''done +\[#+\] 100%' "$WORK/out" && pass || fail "progress bar: no full bar"
  grep -qx $'  verified:  yes\r' "$WORK/out" && pass || fail "progress bar: no result after the bar"
else
  echo "cli_test: SKIP the terminal cases: no script(1)"
fi

# A backup with verification, progress as plain lines.
run backup "${CONN[@]}" --database inventory --out "$WORK/inventory.bak" </dev/null
expect_ok "backup"
expect_line "backup" "backup done"
expect_line "backup" "  verified:  yes"
expect_line "backup" "  pages:     8192"
grep -qE '^  file:      .*/inventory\.bak \(on the server\)$' "$WORK/out" && pass || fail "backup: result path"
[ -s "$WORK/inventory.bak" ] && pass || fail "backup: no file written"
progress=$(grep -E '^ *[0-9]+%  ' "$WORK/out")
[ -n "$progress" ] && [ "$(uniq <<<"$progress" | wc -l)" -eq "$(wc -l <<<"$progress")" ] && pass ||
  fail "backup: progress lines missing or repeated"
tail -n 1 <<<"$progress" | grep -q '^100%  .*done' && pass || fail "backup: last progress line is not the end"
grep -qF "RESTORE VERIFYONLY FROM DISK = N'$WORK/inventory.bak'" "$WORK/sim.log" && pass ||
  fail "backup: the file was not verified"

# Without verification, with the backup's options, and as JSON documents.
: >"$WORK/sim.log"
run backup "${CONN[@]}" --database hr --out "$WORK/hr.bak" --no-verify --no-compression --copy-only --json </dev/null
expect_ok "backup --json --no-verify"
grep -qF "BACKUP DATABASE [hr] TO DISK = N'$WORK/hr.bak' WITH STATS = 5, COPY_ONLY" "$WORK/sim.log" && pass ||
  fail "backup options: $(cat "$WORK/sim.log")"
grep -q VERIFYONLY "$WORK/sim.log" && fail "--no-verify still verified" || pass
tail -n 1 "$WORK/out" | grep -qE '^\{"ok":true,"out_path":".*/hr\.bak","verified":false,"pages":2048,"elapsed_ms":[0-9]+\}$' &&
  pass || fail "backup --json: result document"
head -n -1 "$WORK/out" | grep -qvE '^\{"state":[0-9],"percent":[0-9]+,"message":".*","elapsed_ms":[0-9]+\}$' &&
  fail "backup --json: a progress line is not a progress document" || pass

# Backup kinds: a full and a log backup appended to one file, each set
# verified by its position; stripes; a value the library refuses.
: >"$WORK/sim.log"
run backup "${CONN[@]}" --database inventory --out "$WORK/chain.bak" --type full --checksum --name "it's" </dev/null
expect_ok "backup --type full"
expect_line "backup --type full" "  set:       1 in the file"
run backup "${CONN[@]}" --database inventory --out "$WORK/chain.bak" --type log --description d </dev/null
expect_ok "backup --type log"
expect_line "backup --type log" "  kind:      log"
expect_line "backup --type log" "  set:       2 in the file"
grep -qF "BACKUP DATABASE [inventory] TO DISK = N'$WORK/chain.bak' WITH STATS = 5, COMPRESSION, CHECKSUM, NAME = N'it''s'" \
  "$WORK/sim.log" && pass || fail "backup kinds: full statement: $(cat "$WORK/sim.log")"
grep -qF "BACKUP LOG [inventory] TO DISK = N'$WORK/chain.bak' WITH STATS = 5, COMPRESSION, DESCRIPTION = N'd'" \
  "$WORK/sim.log" && pass || fail "backup kinds: log statement"
grep -qF "RESTORE VERIFYONLY FROM DISK = N'$WORK/chain.bak' WITH FILE = 2" "$WORK/sim.log" && pass ||
  fail "backup kinds: the log backup's set was not the one verified"
run backup "${CONN[@]}" --database hr --stripe "$WORK/s1.bak" --stripe "$WORK/s2.bak" --init --json </dev/null
expect_ok "backup --stripe"
tail -n 1 "$WORK/out" | grep -qE '"type":"full","position":1,"stripes":2\}$' && [ -s "$WORK/s1.bak" ] && [ -s "$WORK/s2.bak" ] &&
  pass || fail "backup --stripe: result or files"
run backup "${CONN[@]}" --database hr --out "$WORK/x.bak" --block-size 1000 </dev/null
expect_error "backup --block-size 1000" 1 "block_size must be a power of two from 512 to 65536"
run backup "${CONN[@]}" --database hr --out "$WORK/x.bak" --buffer-count ten </dev/null
expect_error "backup --buffer-count ten" 2 "--buffer-count takes a whole number"
run backup "${CONN[@]}" --database hr --out "$WORK/x.bak" --stripe "$WORK/y.bak" </dev/null
expect_error "backup --out and --stripe" 2 "--out and --stripe cannot both be given"

# Failures name their cause on one line.
run backup "${CONN[@]}" --database nosuchdb --out "$WORK/x.bak" </dev/null
expect_error "backup of an unknown database" 1 "backup of nosuchdb failed: "
run backup "${CONN[@]}" --database hr --out "$WORK/no/such/dir/hr.bak" </dev/null
expect_error "backup to an unwritable path" 1 "Cannot open backup device"

# Time-outs: a server that never answers is given up on.
start_sim --silent --fault-on login
start=$(date +%s)
run test --user sa --port "$PORT" --connect-timeout 1 </dev/null
expect_error "connect time-out" 1 "timed out"
[ $(( $(date +%s) - start )) -le 10 ] && pass || fail "connect time-out: took too long"
start_sim --silent --fault-on batch
printf '{"user":"sa","port":%s,"query_timeout_ms":800}' "$PORT" >"$WORK/q.json"
start=$(date +%s)
run list --config "$WORK/q.json" </dev/null
expect_error "query time-out from the file" 1 "query timed out"
[ $(( $(date +%s) - start )) -le 10 ] && pass || fail "query time-out: took too long"

# Ctrl-C during a backup: the backup is cancelled (the server sees the
# attention and keeps no file), the program waits for the end, releases the
# session and exits with 130; the server then serves the next backup.
interrupt_backup() {  # name, port, database, path
  interrupt_cli "grep -q 'backing up\$\\|backing up  ' \"\$WORK/out\"" 0.3 \
    backup --user sa --port "$2" --database "$3" --out "$4"
  expect_error "$1" 130 "backup of $3 cancelled"
}
start_sim --backup-ms 30000 --log "$WORK/slow.log"
SLOW_PORT=$PORT
interrupt_backup "Ctrl-C" "$SLOW_PORT" sales "$WORK/sales.bak"
[ "$ELAPSED_MS" -lt 5000 ] && pass || fail "Ctrl-C: took $ELAPSED_MS ms to end"
grep -q ATTENTION "$WORK/slow.log" && pass || fail "Ctrl-C: the server saw no attention"
[ ! -e "$WORK/sales.bak" ] && pass || fail "Ctrl-C: a backup file was left behind"
grep -q '^ *[0-9]*%  .*cancelling' "$WORK/out" && pass || fail "Ctrl-C: the cancel was not shown"
interrupt_backup "Ctrl-C again on the same server" "$SLOW_PORT" inventory "$WORK/inventory2.bak"
[ "$(grep -c ATTENTION "$WORK/slow.log")" -eq 2 ] && pass || fail "Ctrl-C again: the server saw no second attention"

# A server that stops answering once the backup is under way: Ctrl-C still
# ends the program in bounded time.
start_sim --silent --fault-on batch
interrupt_backup "Ctrl-C on a silent server" "$PORT" inventory "$WORK/silent.bak"
[ "$ELAPSED_MS" -lt 15000 ] && pass || fail "Ctrl-C on a silent server: took $ELAPSED_MS ms"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# The Windows module under Wine: cross-builds kestrova-vaultrun.dll (checking
# its export and import tables), starts the simulated server on loopback and
# runs the Windows test host against it. Needs no display; every start of
# Wine is bounded in time. Fails, never skips, when mingw-w64 or Wine cannot
# be had.
set -euo pipefail
: "${VAULTRUN_BUILD_DIR:?}" "${VAULTRUN_SOURCE_DIR:?}"

win="$VAULTRUN_BUILD_DIR/windows"
sim="$VAULTRUN_BUILD_DIR/tools/sim/vaultrun-sim"

fail() { echo "windows_wine: $*"; echo "0 passed, 1 failed"; exit 1; }

bash "$VAULTRUN_SOURCE_DIR/scripts/windows-build.sh" "$win" || fail "the Windows cross-build or its table checks failed"

# Debian's wine64 installs its loader outside PATH unless the wine package
# is there too.
find_wine_program() {
  local name
  for name in "$@"; do
    command -v "$name" 2>/dev/null && return 0
    [ -x "/usr/lib/wine/$name" ] && { echo "/usr/lib/wine/$name"; return 0; }
  done
  return 1
}
wine=$(find_wine_program wine wine64) || fail "Wine is not installed (Debian package wine64)"
wineserver=$(find_wine_program wineserver wineserver64) || fail "wineserver not found beside $wine"
[ -x "$sim" ] || fail "missing the simulated server $sim (build with VAULTRUN_TOOLS=ON)"

# A prefix of our own, no display, no noise, and no offer to install the .NET
# or HTML runtimes, which would wait for a window nobody sees.
export WINEPREFIX="$win/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

work=$(mktemp -d)
sim_pids=()
cleanup() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  timeout 20 "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  timeout -k 10 300 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 ||
    { cat "$work/wineboot.log"; fail "creating the Wine prefix failed or took over 300 s"; }
  timeout 60 "$wineserver" -w || true
  [ -f "$WINEPREFIX/system.reg" ] || { cat "$work/wineboot.log"; fail "wineboot left no prefix"; }
fi

# Starts the simulated server with the given flags and stores its port in
# the variable named by the first argument.
start_sim() {  # variable, flags...
  local _var=$1 _port=""; shift
  # The server writes its backup files relative to where it runs.
  (cd "$work" && exec "$sim" --port 0 --quiet "$@") >"$work/$_var.out" 2>"$work/$_var.err" &
  sim_pids+=($!)
  for _ in $(seq 100); do
    _port=$(head -n1 "$work/$_var.out" 2>/dev/null || true)
    [ -n "$_port" ] && break
    kill -0 "${sim_pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [[ "$_port" =~ ^[0-9]+$ ]] || { cat "$work/$_var.err"; return 1; }
  printf -v "$_var" '%s' "$_port"
}

# Backups take 100 ms plus 50 ms per MB: "hr" (16 MB) ends in about a
# second, "sales" (512 MB) runs for about 26 s unless cancelled.
start_sim port --backup-ms 100 --backup-ms-per-mb 50 ||
  fail "the simulated server did not report its port"
# This one accepts logins and then never answers a batch.
start_sim silent_port --fault-on batch --silent ||
  fail "the silent simulated server did not report its port"

# Servers that require encryption, each writing the certificate it presents
# as PEM, which the host names as ca_file (through Wine's Z: drive).
winpath() { echo "Z:$1"; }

# Wine 8's crypt32 rejects an ECDSA signature whose r or s is shorter than
# the curve (a leading zero byte: about one certificate in eighty), which a
# real Windows accepts. The server makes a new key at every start, so one
# whose certificate meets that is started again rather than failing the run.
wine_reads_signature() {  # pem
  python3 - "$1" <<'PY'
import base64, sys
der = base64.b64decode("".join(l for l in open(sys.argv[1]) if not l.startswith("-----")))
def tlv(b, i):
    n = b[i + 1]; i += 2
    if n & 0x80:
        k = n & 0x7F; n = int.from_bytes(b[i:i + k], "big"); i += k
    return b[i:i + n], i + n
cert, _ = tlv(der, 0)
_, i = tlv(cert, 0); _, i = tlv(cert, i)
sig, _ = tlv(cert, i)
seq, _ = tlv(sig[1:], 0)
r, j = tlv(seq, 0); s, _ = tlv(seq, j)
sys.exit(0 if all(len(x.lstrip(b"\0")) == 32 for x in (r, s)) else 1)
PY
}
start_tls_sim() {  # variable, pem, flags...
  local _var=$1 _pem=$2 _try; shift 2
  for _try in 1 2 3 4 5 6 7 8; do
    rm -f "$work/$_var.out" "$_pem"
    start_sim "$_var" --tls-cert-out "$_pem" "$@" || return 1
    wine_reads_signature "$_pem" && return 0
    kill "${sim_pids[-1]}" 2>/dev/null || true
  done
  return 1
}
start_tls_sim tls_port "$work/tls.pem" --encryption req --backup-ms 100 --backup-ms-per-mb 50 ||
  fail "the encrypting simulated server did not report its port"
start_tls_sim wrong_name_port "$work/wrong-name.pem" --encryption req --tls-fault wrong-name ||
  fail "the wrong-name simulated server did not report its port"
start_tls_sim expired_port "$work/expired.pem" --encryption req --tls-fault expired ||
  fail "the expired-certificate simulated server did not report its port"
start_tls_sim strict_port "$work/strict.pem" --strict ||
  fail "the strict simulated server did not report its port"
start_sim garbage_port --encryption req --tls-fault garbage ||
  fail "the garbage-sending simulated server did not report its port"
start_sim drop_port --encryption req --tls-fault drop ||
  fail "the dropping simulated server did not report its port"
# Starts a helper script of tests/support and stores the port it prints.
start_helper() {  # variable, script, arguments...
  local _var=$1 _script=$2 _port=""; shift 2
  python3 "$VAULTRUN_SOURCE_DIR/tests/support/$_script" "$@" >"$work/$_var.out" 2>"$work/$_var.err" &
  sim_pids+=($!)
  for _ in $(seq 100); do
    _port=$(head -n1 "$work/$_var.out" 2>/dev/null || true)
    [ -n "$_port" ] && break
    sleep 0.1
  done
  [[ "$_port" =~ ^[0-9]+$ ]] || { cat "$work/$_var.err"; return 1; }
  printf -v "$_var" '%s' "$_port"
}
# The relay cuts the encrypting server's bytes into pieces of every size.
start_helper relay_port chunk_relay.py "$tls_port" || fail "the chunking relay did not report its port"
# A TLS 1.1 server, with an RSA certificate of its own.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/old.key" -out "$work/old.pem" -subj /CN=localhost \
  -days 2 >/dev/null 2>&1 || fail "openssl could not make a certificate for the TLS 1.1 server"
start_helper old_tls_port old_tls_server.py "$work/old.pem" "$work/old.key" ||
  fail "the TLS 1.1 server did not report its port"

# The host finds the DLL beside itself, as a Windows program would.
cd "$win"
set +e
timeout -k 10 600 "$wine" ./win_host.exe "$port" "$silent_port" \
  tls="$tls_port" ca="$(winpath "$work/tls.pem")" relay="$relay_port" \
  wrong_name="$wrong_name_port" wrong_name_ca="$(winpath "$work/wrong-name.pem")" \
  expired="$expired_port" expired_ca="$(winpath "$work/expired.pem")" \
  strict="$strict_port" strict_ca="$(winpath "$work/strict.pem")" \
  old_tls="$old_tls_port" old_tls_ca="$(winpath "$work/old.pem")" \
  garbage="$garbage_port" drop="$drop_port" 2>"$work/host.err"
rc=$?
set -e
[ $rc -eq 0 ] && exit 0
if [ -s "$work/host.err" ]; then echo "--- Wine's stderr"; cat "$work/host.err"; fi
# 1 is the host's own verdict, already summed up in its last line.
[ $rc -eq 1 ] && exit 1
[ $rc -eq 124 ] && fail "the host run was cut off after 600 s"
fail "the host ended abnormally (exit code $rc)"

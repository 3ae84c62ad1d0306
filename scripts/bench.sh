#!/usr/bin/env bash
# Benchmarks the library against FreeTDS db-lib and against the floor, and
# writes bench/RESULTS.md. Installs the Debian packages it needs (only those
# missing), builds the library and the benchmark programs in build-bench/,
# starts the simulated server (and the replay peer) on free loopback ports,
# runs every measurement with the contenders taking turns, and stops what it
# started. Safe to run again.
#
# Knobs (environment): BENCH_ROUNDS (turns per contender, default 12),
# BENCH_BATCH (operations per turn, default 50), BENCH_FETCH_ROUNDS (8),
# BENCH_QUICK=1 (a short run for checking the script; figures not meant for
# RESULTS.md, which it then leaves alone and writes bench/work/RESULTS.md).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
WORK=$ROOT/bench/work
ROUNDS=${BENCH_ROUNDS:-12}
BATCH=${BENCH_BATCH:-50}
FETCH_ROUNDS=${BENCH_FETCH_ROUNDS:-8}
FETCH_BATCH=3
MIXED_ROWS=100000
TEXT_ROWS=20000
BIG_LISTING=10000
GB_ARGS=(--benchmark_repetitions=5 --benchmark_min_time=0.5)
MEM_RUNS=5
OUT=$ROOT/bench/RESULTS.md
if [ "${BENCH_QUICK:-0}" = 1 ]; then
  ROUNDS=2 BATCH=5 FETCH_ROUNDS=1 BIG_LISTING=1000 MEM_RUNS=1
  GB_ARGS=(--benchmark_repetitions=1 --benchmark_min_time=0.05)
  OUT=$WORK/RESULTS.md
fi

say() { echo "bench: $*" >&2; }

# ---- Packages -------------------------------------------------------------------
bash "$ROOT/scripts/setup.sh" build bench
# perf is only for the decoder profile; the run goes on without it.
if ! command -v perf >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends linux-perf \
    >/dev/null 2>&1 || say "linux-perf not installed: no decoder profile"
fi

# ---- Build ----------------------------------------------------------------------
say "building"
cmake -S "$ROOT" -B "$BUILD/main" -DVAULTRUN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD/main" -j2 --target kestrova-vaultrun vaultrun_core vaultrun-sim >/dev/null
cmake -S "$ROOT/bench" -B "$BUILD/bench" -DVAULTRUN_BUILD="$BUILD/main" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD/bench" -j2 >/dev/null
B=$BUILD/bench
SIM=$BUILD/main/tools/sim/vaultrun-sim

rm -rf "$WORK"
mkdir -p "$WORK/raw" "$WORK/mem" "$WORK/cap16" "$WORK/cap256" "$WORK/backups" "$WORK/logs" "$WORK/tls"

# ---- Servers --------------------------------------------------------------------
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# start NAME COMMAND...: runs a server whose first stdout line is its port;
# sets PORT.
start() {
  local name=$1
  shift
  "$@" >"$WORK/logs/$name.out" 2>"$WORK/logs/$name.err" &
  PIDS+=($!)
  local i
  for i in $(seq 1 600); do
    PORT=$(head -n1 "$WORK/logs/$name.out" 2>/dev/null || true)
    [ -n "$PORT" ] && return 0
    kill -0 "${PIDS[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  say "$name did not start: $(cat "$WORK/logs/$name.err")"
  exit 1
}

say "starting servers"
start sim16 "$SIM" --port 0 --empty-catalog --databases 16
P16=$PORT
start sim256 "$SIM" --port 0 --empty-catalog --databases 256 --backup-ms 1500
P256=$PORT
start simbig "$SIM" --port 0 --empty-catalog --databases "$BIG_LISTING"
PBIG=$PORT
"$B/ops_floor" "$P16" capture "$WORK/cap16"
"$B/ops_floor" "$P256" capture "$WORK/cap256"
start peer "$B/replay_peer" "$WORK/cap16" "$MIXED_ROWS" "$TEXT_ROWS"
PPEER=$PORT

# Encrypted: servers that require TLS (the handshake inside PRELOGIN packets,
# TLS 1.2 as the simulated server caps it there), each writing its own
# self-signed certificate for the clients to verify against. The FreeTDS
# configurations require encryption, with the certificate as "ca file" (the
# verified figures) or without one (no check, beside trust_server_certificate).
start_tls() {
  local name=$1 dbs=$2
  start "$name" "$SIM" --port 0 --empty-catalog --databases "$dbs" --encryption on \
    --tls-cert-out "$WORK/tls/$name.pem" --log "$WORK/logs/$name.log"
  printf '[global]\n\ttds version = 7.4\n\tencryption = require\n\tca file = %s\n' \
    "$WORK/tls/$name.pem" >"$WORK/tls/$name.conf"
}
start_tls simtls16 16
PTLS16=$PORT
start_tls simtls256 256
PTLS256=$PORT
printf '[global]\n\ttds version = 7.4\n\tencryption = require\n' >"$WORK/tls/trust.conf"

LISTING_SQL="SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name"
export TDSVER=7.4

{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
  mem=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
  os=$(. /etc/os-release && echo "$PRETTY_NAME")
  echo "machine=$cpu, $(nproc) logical CPUs (shared with other work), $mem RAM; $os, Linux $(uname -r), $(uname -m)"
  echo "compiler=$(g++ --version | head -n1)"
  echo "build_type=RelWithDebInfo (-O2 -g), the project's default"
  echo "freetds=$(dpkg-query -W -f='${Version}' libsybdb5 2>/dev/null || echo '?')"
  echo "gbench=$(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || echo '?')"
  echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "rounds=$ROUNDS"
  echo "big_listing=$BIG_LISTING"
} >"$WORK/meta.txt"

# run MEASURE CONTENDER N COMMAND...: one turn of N counted operations (the
# command runs N + 1 and its first line, the warm-up, is dropped).
run() {
  local measure=$1 contender=$2
  shift 2
  if ! "$@" >"$WORK/turn.out" 2>>"$WORK/logs/$measure.$contender.err"; then
    say "$measure/$contender failed: $(tail -n3 "$WORK/logs/$measure.$contender.err")"
    exit 1
  fi
  tail -n +2 "$WORK/turn.out" >>"$WORK/raw/$measure.$contender"
}

# rotate I A B C...: the list rotated left by I, so that each contender
# takes each place in the order in turn.
rotate() {
  local i=$1
  shift
  local a=("$@") n=$# k
  for ((k = 0; k < n; k++)); do echo "${a[$(((k + i) % n))]}"; done
}

# ---- 1, 2: connection test and listings --------------------------------------
say "connection test and listings: $ROUNDS rounds of $BATCH"
n=$((BATCH + 1))
for ((r = 0; r < ROUNDS; r++)); do
  for m in test list16 list256; do
    case $m in
      test) port=$P16 mode=test ;;
      list16) port=$P16 mode=list ;;
      list256) port=$P256 mode=list ;;
    esac
    for c in $(rotate "$r" vaultrun freetds floor); do
      run "$m" "$c" "$B/ops_$c" "$port" "$mode" "$n"
    done
  done
done

# ---- 1, 2 encrypted: the same over TLS ---------------------------------------
# tls_MEASURE CONTENDER PORT MODE SIM: one turn; SIM names the certificate
# and the FreeTDS configuration ("trust": no certificate check).
tls_turn() {
  local measure=$1 c=$2 port=$3 mode=$4 sim=$5 ca conf
  if [ "$sim" = trust ]; then
    ca=trust conf=$WORK/tls/trust.conf
  else
    ca=$WORK/tls/$sim.pem conf=$WORK/tls/$sim.conf
  fi
  case $c in
    freetds) run "$measure" "$c" env FREETDSCONF="$conf" "$B/ops_freetds" "$port" "$mode" "$n" ;;
    *) run "$measure" "$c" "$B/ops_$c" "$port" "$mode" "$n" "$ca" ;;
  esac
}
say "encrypted connection test and listings: $ROUNDS rounds of $BATCH"
for ((r = 0; r < ROUNDS; r++)); do
  for m in test_tls list16_tls list256_tls test_tls_trust; do
    case $m in
      test_tls) port=$PTLS16 mode=test sim=simtls16 ;;
      list16_tls) port=$PTLS16 mode=list sim=simtls16 ;;
      list256_tls) port=$PTLS256 mode=list sim=simtls256 ;;
      test_tls_trust) port=$PTLS16 mode=test sim=trust ;;
    esac
    for c in $(rotate "$r" vaultrun freetds floor); do
      tls_turn "$m" "$c" "$port" "$mode" "$sim"
    done
  done
done

# What each side negotiated: the floor prints it (OpenSSL, as the library
# uses it), FreeTDS's own log says what GnuTLS chose, and the simulated
# server logs every handshake it completed.
{
  echo "tls_openssl=$(grep -m1 '^tls: ' "$WORK/logs/test_tls.floor.err" | sed 's/^tls: //')"
  FREETDSCONF=$WORK/tls/simtls16.conf TDSDUMP=$WORK/logs/freetds-tls.dump \
    "$B/ops_freetds" "$PTLS16" test 1 >/dev/null
  suite=$(grep -m1 'Selected cipher suite' "$WORK/logs/freetds-tls.dump" | sed 's/.*: //')
  group=$(grep -m1 'Selected group' "$WORK/logs/freetds-tls.dump" | sed 's/.*group //')
  version=$(grep -m1 "Server's version" "$WORK/logs/freetds-tls.dump" | sed 's/.*: //')
  case $version in 3.3) version="TLSv1.2" ;; 3.4) version="TLSv1.3" ;; esac
  echo "tls_gnutls=$version $suite, group $group, GnuTLS $(dpkg-query -W -f='${Version}' libgnutls30 2>/dev/null || echo '?')"
  echo "tls_operations=$((ROUNDS * 4 * 3 * n + 1))"
  echo "tls_handshakes=$(cat "$WORK"/logs/simtls*.log | grep -c '^TLS established')"
  echo "tls_handshake_versions=$(cat "$WORK"/logs/simtls*.log | grep '^TLS established' | sed 's/^TLS established: //' | sort | uniq -c | sed 's/^ *//' | paste -sd ',' -)"
  echo "tls_other_lines=$(cat "$WORK"/logs/simtls*.log | grep '^TLS' | grep -vc '^TLS established' || true)"
} >>"$WORK/meta.txt"

# ---- 3: fetch of large result sets over loopback ------------------------------
say "fetch: $FETCH_ROUNDS rounds of $FETCH_BATCH"
n=$((FETCH_BATCH + 1))
for ((r = 0; r < FETCH_ROUNDS; r++)); do
  for m in mixed text listing; do
    case $m in
      mixed) port=$PPEER sql="SELECT * FROM bench_mixed" ;;
      text) port=$PPEER sql="SELECT * FROM bench_text" ;;
      listing) port=$PBIG sql=$LISTING_SQL ;;
    esac
    for c in $(rotate "$r" vaultrun freetds freetds_text floor); do
      case $c in
        vaultrun) run "fetch_$m" "$c" "$B/fetch_core" "$port" "$n" "$sql" ;;
        freetds) run "fetch_$m" "$c" "$B/ops_freetds" "$port" fetch "$n" "$sql" ;;
        freetds_text) run "fetch_$m" "$c" "$B/ops_freetds" "$port" fetch "$n" "$sql" text ;;
        floor) run "fetch_$m" "$c" "$B/ops_floor" "$port" fetch "$n" "$sql" ;;
      esac
    done
  done
done

# ---- 3: decoding in memory ------------------------------------------------------
say "decoding in memory"
"$B/decode_bench" --mixed-rows=$MIXED_ROWS --text-rows=$TEXT_ROWS \
  --listing="$WORK/cap256/listing.bin" --tsv="$WORK/decode.tsv" "${GB_ARGS[@]}" \
  >"$WORK/logs/decode.out" 2>"$WORK/logs/decode.err"


# ---- 4: memory ------------------------------------------------------------------
say "memory"
LIB=$BUILD/main/libkestrova-vaultrun.so
for ((i = 1; i <= MEM_RUNS; i++)); do
  for mode in $(rotate "$i" baseline library); do
    "$B/mem_host" "$mode" "$LIB" "$P256" "$WORK/backups" "$PTLS16" "$WORK/tls/simtls16.pem" \
      >"$WORK/mem/$mode.$i"
  done
done

# ---- 5: receive buffer and time by answer size --------------------------------
say "receive scaling"
"$B/recv_scale" "$WORK/recv.tsv" 2>"$WORK/logs/recv.err"

# ---- Decoder profile --------------------------------------------------------------
if command -v perf >/dev/null; then
  say "profiling the decoder"
  for s in mixed text; do
    if perf record -q -F 2000 -o "$WORK/perf.$s" "$B/decode_bench" --mixed-rows=$MIXED_ROWS \
      --text-rows=$TEXT_ROWS --only=$s --benchmark_filter=walk/ --benchmark_min_time=3 \
      >/dev/null 2>"$WORK/logs/perf.$s.err"; then
      perf report -i "$WORK/perf.$s" --stdio --no-children --sort symbol --percent-limit 1 \
        2>/dev/null | grep -E '^ +[0-9.]+%' | sed -E 's/ +- +- *$//; s/ +$//' >"$WORK/profile-$s.txt" || true
    fi
  done
fi

echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$WORK/meta.txt"
# The soak run's section (bench/soak.sh), the per-call fixed costs
# (bench/fixed_costs.sh) and the restore planning section (plan_bench and a
# dry run against the simulator, by hand) are not measured here: kept as
# they are.
soak_section=$(sed -n '/<!-- soak:begin -->/,/<!-- soak:end -->/p' "$OUT" 2>/dev/null || true)
fixed_section=$(sed -n '/<!-- fixed-costs:begin -->/,/<!-- fixed-costs:end -->/p' "$OUT" 2>/dev/null || true)
plan_section=$(sed -n '/<!-- plan:begin -->/,/<!-- plan:end -->/p' "$OUT" 2>/dev/null || true)
"$B/bench_report" "$WORK" "$OUT"
if [ -n "$fixed_section" ]; then printf '\n%s\n' "$fixed_section" >>"$OUT"; fi
if [ -n "$soak_section" ]; then printf '\n%s\n' "$soak_section" >>"$OUT"; fi
if [ -n "$plan_section" ]; then printf '\n%s\n' "$plan_section" >>"$OUT"; fi
say "wrote $OUT"

#!/usr/bin/env bash
# The per-call fixed costs side by side: the connection test (16 databases)
# and the 256-database listing, through ops_vaultrun, against the floor
# (ops_floor), and optionally against an earlier build of the library.
# Contenders take turns in ROUNDS rounds of N operations, each a fresh
# process; wall time is the median per operation, CPU (user + system, and
# user alone) the process's total per operation (startup included). Prints a Markdown table.
#
#   bash bench/fixed_costs.sh BENCH_BUILD MAIN_BUILD [EARLIER_LIB_DIR]
#
# BENCH_BUILD: the bench/ build (ops_vaultrun, ops_floor); MAIN_BUILD: the
# main build (the library, the simulated server); EARLIER_LIB_DIR: a folder
# holding another libkestrova-vaultrun.so.1 to compare ("before").
set -euo pipefail
B=$1 MAIN=$2 EARLIER=${3:-}
ROUNDS=${ROUNDS:-8} N=${N:-1000}
OUT=$(mktemp -d "${TMPDIR:-/tmp}/fixed_costs.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$OUT"
}
trap cleanup EXIT
"$MAIN/tools/sim/vaultrun-sim" --port 0 --quiet --empty-catalog --databases 16 >"$OUT/p16" 2>/dev/null &
PIDS+=($!)
"$MAIN/tools/sim/vaultrun-sim" --port 0 --quiet --empty-catalog --databases 256 >"$OUT/p256" 2>/dev/null &
PIDS+=($!)
for _ in $(seq 1 100); do [ -s "$OUT/p16" ] && [ -s "$OUT/p256" ] && break; sleep 0.1; done
P16=$(head -1 "$OUT/p16") P256=$(head -1 "$OUT/p256")
who_all=(floor library)
[ -n "$EARLIER" ] && who_all=(floor before library)
for _ in $(seq 1 "$ROUNDS"); do
  for op in test list; do
    port=$P16
    [ "$op" = list ] && port=$P256
    for who in "${who_all[@]}"; do
      case $who in
        floor) cmd=("$B/ops_floor" "$port" "$op" "$N") ;;
        before) cmd=(env LD_LIBRARY_PATH="$EARLIER" "$B/ops_vaultrun" "$port" "$op" "$N") ;;
        library) cmd=(env LD_LIBRARY_PATH="$MAIN" "$B/ops_vaultrun" "$port" "$op" "$N") ;;
      esac
      # The child's own user and system time, to the microsecond (time(1)
      # prints hundredths).
      python3 -c 'import os, subprocess, sys
p = subprocess.Popen(sys.argv[2:], stdout=open(sys.argv[1], "a"))
_, status, ru = os.wait4(p.pid, 0)
sys.exit(status) if status else print(ru.ru_utime, ru.ru_stime)' "$OUT/$op.$who.ns" "${cmd[@]}" >>"$OUT/$op.$who.cpu"
    done
  done
done
python3 - "$OUT" "$ROUNDS" "$N" "${who_all[@]}" <<'PY'
import statistics, sys
out, rounds, n, who_all = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
names = {"test": "Connection test", "list": "Listing, 256 databases"}
print("| Operation | Contender | median µs | CPU µs/op | user µs/op | wall ÷ floor | CPU ÷ floor | user ÷ floor |")
print("|---|---|---|---|---|---|---|---|")
for op in ("test", "list"):
    res = {}
    for who in who_all:
        ns = [int(l.split()[0]) for l in open(f"{out}/{op}.{who}.ns")]
        rows = [list(map(float, l.split())) for l in open(f"{out}/{op}.{who}.cpu")]
        user = sum(r[0] for r in rows) / (rounds * n) * 1e6
        cpu = sum(r[0] + r[1] for r in rows) / (rounds * n) * 1e6
        res[who] = (statistics.median(ns) / 1000, cpu, user)
    f = res["floor"]
    for who, (wall, cpu, user) in res.items():
        print(f"| {names[op]} | {who} | {wall:.1f} | {cpu:.1f} | {user:.1f} | {wall / f[0]:.2f} | {cpu / f[1]:.2f} | {user / f[2]:.2f} |")
PY

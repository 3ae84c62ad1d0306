#!/usr/bin/env bash
# Runs the soak host (vaultrun_soak) for a given time and writes its report:
# a section of bench/RESULTS.md with the outcome counts, the memory,
# descriptor and thread figures and their growth per hour after warm-up,
# and bench/soak.png, a plot of memory and descriptors over time.
#
#   bash bench/soak.sh [--minutes N] [--no-restore]     (default 10 minutes)
#
# Installs what it needs (the build's packages, gnuplot), builds in
# build-soak/, and exits 1 when the run saw a violation.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${SOAK_BUILD:-$ROOT/build-soak}
OUT=$ROOT/bench/RESULTS.md
PLOT=$ROOT/bench/soak.png
minutes=10
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --no-restore) extra+=(--no-restore); shift ;;
    *) echo "usage: bash bench/soak.sh [--minutes N] [--no-restore]" >&2; exit 2 ;;
  esac
done

bash "$ROOT/scripts/setup.sh" build test
if ! command -v gnuplot >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends gnuplot-nox >/dev/null
fi
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target vaultrun_soak vaultrun-sim >/dev/null

RUN=$BUILD/soak-run
rm -rf "$RUN"
status=0
"$BUILD/tests/vaultrun_soak" --sim "$BUILD/tools/sim/vaultrun-sim" --minutes "$minutes" --out "$RUN" \
  ${extra[@]+"${extra[@]}"} \
  | tee "$RUN.log" || status=$?

# Growth per hour: the least-squares slope of each figure over the samples
# after the first tenth of the run (start-up: first connections, the TLS
# and thread pools of the C library warming up).
slope() {  # column number
  awk -F, -v col="$1" 'NR > 1 { t[n] = $1; y[n] = $col; n++ }
    END {
      from = int(n / 10); m = 0; st = sy = stt = sty = 0
      for (i = from; i < n; i++) { m++; st += t[i]; sy += y[i]; stt += t[i] * t[i]; sty += t[i] * y[i] }
      d = m * stt - st * st
      printf "%.1f", (m > 1 && d != 0) ? (m * sty - st * sy) / d * 3600 : 0
    }' "$RUN/samples.csv"
}
figure() {  # column number, min|max|first|last after warm-up
  awk -F, -v col="$1" -v what="$2" 'NR > 1 { y[n++] = $col }
    END {
      from = int(n / 10); lo = hi = y[from]
      for (i = from; i < n; i++) { if (y[i] < lo) lo = y[i]; if (y[i] > hi) hi = y[i] }
      if (what == "min") print lo; else if (what == "max") print hi;
      else if (what == "first") print y[from]; else print y[n - 1]
    }' "$RUN/samples.csv"
}

gnuplot <<EOF
set terminal png size 1000,560
set output "$PLOT"
set datafile separator ","
set title "Soak run: host process over ${minutes} minutes"
set xlabel "minutes"
set ylabel "resident memory (KiB)"
set y2label "open descriptors, threads"
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
set key bottom right
plot "$RUN/samples.csv" every ::1 using (\$1/60):2 with lines lw 2 title "resident memory (KiB)", \
     "" every ::1 using (\$1/60):3 axes x1y2 with lines lw 2 title "open descriptors", \
     "" every ::1 using (\$1/60):4 axes x1y2 with lines title "threads"
EOF

summary=$RUN/summary.json
ops=$(sed -E 's/.*"operations":([0-9]+).*/\1/' "$summary")
violations=$(sed -E 's/.*"violations":([0-9]+).*/\1/' "$summary")
samples=$(($(wc -l <"$RUN/samples.csv") - 1))
section=$(mktemp)
{
  echo "<!-- soak:begin -->"
  echo "## Soak run"
  echo
  echo "Written by \`bash bench/soak.sh --minutes $minutes\` on $(date -u '+%Y-%m-%d %H:%M') UTC."
  echo
  echo "One host process (\`vaultrun_soak\`, linked to the shared library as a host links it) runs for $minutes minutes a random mix of connection tests, listings, backups, cancelled backups and restores in all four slots against seven simulated servers: a clean one, one that splits every packet into 9-byte pieces, a slow one (backups of 4 s, for the cancels), and four with faults (the connection dropped inside the login answer, dropped inside a statement's answer, a garbage packet length, a statement never answered). Every answer must be one strict JSON document, every outcome one that its server allows (the clean, split and slow servers never fail; a faulty one never reports success, except a connection test whose login went through, which says \"unknown\" for the version), every slot must read free after its release, and no call or session may outlast its bound. Resident memory, open descriptors and threads are sampled every 5 s; growth is the least-squares slope after the first tenth of the run."
  echo
  echo "| figure | value |"
  echo "| --- | --- |"
  echo "| operations | $ops |"
  echo "| violations | $violations |"
  echo "| samples | $samples |"
  echo "| resident memory after warm-up, min / max (KiB) | $(figure 2 min) / $(figure 2 max) |"
  echo "| resident memory growth (KiB per hour) | $(slope 2) |"
  echo "| open descriptors after warm-up, min / max | $(figure 3 min) / $(figure 3 max) |"
  echo "| open descriptor growth (per hour) | $(slope 3) |"
  echo "| threads after warm-up, min / max | $(figure 4 min) / $(figure 4 max) |"
  echo
  echo "Outcomes (operation / server / outcome: count):"
  echo
  echo '```'
  sed -n '/^  /p' "$RUN.log"
  echo '```'
  echo
  echo "![memory and descriptors over time](soak.png)"
  echo "<!-- soak:end -->"
} >"$section"
if grep -q '<!-- soak:begin -->' "$OUT"; then
  awk -v f="$section" '/<!-- soak:begin -->/ { while ((getline l < f) > 0) print l; skip = 1 }
    /<!-- soak:end -->/ { skip = 0; next } !skip' "$OUT" >"$OUT.new"
  mv "$OUT.new" "$OUT"
else
  { echo; cat "$section"; } >>"$OUT"
fi
rm -f "$section"
echo "soak: wrote $OUT and $PLOT" >&2
exit $status

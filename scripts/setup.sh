#!/usr/bin/env bash
# Installs the Debian packages that the given groups need, only those that
# are missing. Groups: build, test, fuzz, windows, bench. Safe to run again.
set -euo pipefail

declare -A group
group[build]="g++ cmake make pkg-config libjsmn-dev libssl-dev"
group[test]="libgtest-dev freetds-bin freetds-dev prometheus prometheus-node-exporter python3-yaml"
group[fuzz]="clang libclang-rt-14-dev"
group[windows]="g++-mingw-w64-x86-64 wine64 libgnutls30 python3 openssl"
group[bench]="libbenchmark-dev freetds-dev valgrind"

wanted=()
for g in "$@"; do
  for p in ${group[$g]}; do wanted+=("$p"); done
done

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

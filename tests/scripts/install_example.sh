#!/usr/bin/env bash
# The installed package as another program meets it: `cmake --install` into
# a fresh prefix, the example host built from examples/ against that copy
# once with pkg-config and once with find_package(vaultrun), each checked to
# load the installed library; the installed command-line host runs too.
# With the simulated server built, both example builds and the installed CLI
# also run a whole backup against it.
# shellcheck disable=SC2015,SC2317  # A && pass || fail: pass never fails; cleanup runs from the trap
set -uo pipefail
: "${VAULTRUN_BUILD_DIR:?}" "${VAULTRUN_SOURCE_DIR:?}"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/install_example.XXXXXX")
SIM_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && { kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; }
  rm -rf "$WORK"
}
trap cleanup EXIT
unset LD_LIBRARY_PATH

PASSED=0 FAILED=0
pass() { PASSED=$((PASSED + 1)); }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
finish() { echo "$PASSED passed, $FAILED failed"; [ "$FAILED" -eq 0 ]; exit; }

PREFIX=$WORK/prefix
if ! cmake --install "$VAULTRUN_BUILD_DIR" --prefix "$PREFIX" >"$WORK/install.log" 2>&1; then
  cat "$WORK/install.log"; fail "cmake --install"; finish
fi

pc=$(find "$PREFIX" -name vaultrun.pc)
config=$(find "$PREFIX" -name vaultrunConfig.cmake)
for f in "$PREFIX/include/vaultrun.h" "$pc" "$config" "$(dirname "$config")/vaultrunConfigVersion.cmake" \
         "$PREFIX/bin/vaultrun"; do
  [ -n "$f" ] && [ -f "$f" ] && pass || fail "not installed: ${f:-a file}"
done
[ -n "$pc" ] && [ -n "$config" ] || finish
LIBDIR=$(dirname "$(dirname "$pc")")
for f in libkestrova-vaultrun.so libkestrova-vaultrun.so.1; do
  [ -e "$LIBDIR/$f" ] && pass || fail "not installed: $LIBDIR/$f"
done

# Loads its library from the prefix, not from the build tree.
uses_installed_library() {  # name, program
  local lib
  lib=$(ldd "$2" | awk '/libkestrova-vaultrun/ {print $3}')
  [ -n "$lib" ] && [ "$(realpath "$lib")" = "$(realpath "$LIBDIR/libkestrova-vaultrun.so.1")" ] && pass ||
    fail "$1 loads '$lib' instead of the installed library"
}

# 1. pkg-config, the way a plain Makefile would.
command -v pkg-config >/dev/null || { fail "pkg-config is not installed (bash scripts/setup.sh build)"; finish; }
export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
[ "$(pkg-config --modversion vaultrun)" = "1.0.0" ] && pass || fail "pkg-config version"
[ "$(pkg-config --variable=prefix vaultrun)" = "$PREFIX" ] && pass || fail "pkg-config prefix"
HOST_PC=$WORK/backup_host_pc
# shellcheck disable=SC2046
if cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$HOST_PC" "$VAULTRUN_SOURCE_DIR/examples/backup_host.c" \
    $(pkg-config --cflags --libs vaultrun) -Wl,-rpath,"$(pkg-config --variable=libdir vaultrun)" 2>"$WORK/cc.log"; then
  pass
else
  cat "$WORK/cc.log"; fail "example host with pkg-config: build"
fi

# 2. find_package, from the example's own CMakeLists.txt.
HOST_CM=$WORK/example-build/backup_host
if cmake -S "$VAULTRUN_SOURCE_DIR/examples" -B "$WORK/example-build" -DCMAKE_PREFIX_PATH="$PREFIX" \
      -DCMAKE_C_FLAGS="-std=c99 -Wall -Wextra -Werror -pedantic" >"$WORK/cmake.log" 2>&1 &&
    cmake --build "$WORK/example-build" >>"$WORK/cmake.log" 2>&1; then
  pass
else
  cat "$WORK/cmake.log"; fail "example host with find_package: build"
fi
# A major version the package does not offer is refused.
mkdir -p "$WORK/v2"
printf 'cmake_minimum_required(VERSION 3.20)\nproject(v2 LANGUAGES C)\nfind_package(vaultrun 2 REQUIRED)\n' \
  >"$WORK/v2/CMakeLists.txt"
cmake -S "$WORK/v2" -B "$WORK/v2/build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null 2>&1 &&
  fail "find_package(vaultrun 2) was accepted" || pass

for name in pkg-config find_package installed-cli; do
  case $name in
    pkg-config) prog=$HOST_PC ;;
    find_package) prog=$HOST_CM ;;
    installed-cli) prog=$PREFIX/bin/vaultrun ;;
  esac
  [ -x "$prog" ] || continue
  [ "$("$prog" --version 2>&1)" = "kestrova-vaultrun 1.0.0" ] && pass || fail "$name: --version"
  uses_installed_library "$name" "$prog"
done

# 3. A whole backup through each, against the simulated server.
SIM=$VAULTRUN_BUILD_DIR/tools/sim/vaultrun-sim
if [ ! -x "$SIM" ]; then
  echo "install_example: SKIP the runs against a server: no simulator at $SIM"
  finish
fi
"$SIM" --port 0 --quiet --backup-ms 300 >"$WORK/port" &
SIM_PID=$!
for _ in $(seq 1 200); do
  PORT=$(head -n 1 "$WORK/port" 2>/dev/null)
  [ -n "$PORT" ] && break
  sleep 0.05
done
[ -n "$PORT" ] || { fail "the simulator printed no port"; finish; }
export VAULTRUN_PASSWORD=vaultrun
for name in pkg-config find_package; do
  prog=$HOST_PC
  [ $name = find_package ] && prog=$HOST_CM
  [ -x "$prog" ] || continue
  out=$WORK/$name.bak
  if timeout -s KILL 60 "$prog" 127.0.0.1 "$PORT" sa hr "$out" >"$WORK/run.log" 2>&1 &&
      grep -q '^result: {"ok":true,.*"verified":true' "$WORK/run.log" && [ -s "$out" ]; then
    pass
  else
    cat "$WORK/run.log"; fail "$name: backup through the example host"
  fi
done
if timeout -s KILL 60 "$PREFIX/bin/vaultrun" backup --user sa --port "$PORT" --database hr \
    --out "$WORK/cli.bak" </dev/null >"$WORK/run.log" 2>&1 && grep -qx '  verified:  yes' "$WORK/run.log"; then
  pass
else
  cat "$WORK/run.log"; fail "installed CLI: backup"
fi
finish

#!/usr/bin/env bash
# Cross-builds the 64-bit Windows module kestrova-vaultrun.dll with mingw-w64
# and the Windows test host, then checks the module's tables:
#   - exports: exactly the ten vaultrun_ names, undecorated;
#   - imports: system DLLs only (no mingw runtime DLL to ship; secur32 and
#     crypt32 for TLS);
#   - our own objects reference no way to end or unwind the host's process.
#
#   bash scripts/windows-build.sh [BUILD_DIR]      (default: build-win)
#
# Installs what is missing (mingw-w64, wine64, GnuTLS for Wine, jsmn) through
# apt-get first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-win}
triple=x86_64-w64-mingw32

die() { echo "windows-build: $*" >&2; exit 1; }

# ---- Toolchain ----------------------------------------------------------------
need=()
# Wine's SChannel runs on GnuTLS, which wine64 only recommends.
for p in g++-mingw-w64-x86-64 wine64 libgnutls30 libjsmn-dev cmake make; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "need root or sudo to install: ${need[*]}"
    sudo="sudo"
  fi
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq || die "apt-get update failed; cannot install ${need[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null ||
    die "could not install ${need[*]}"
fi
command -v $triple-g++-win32 >/dev/null || command -v $triple-g++ >/dev/null ||
  die "no $triple C++ compiler after installing g++-mingw-w64-x86-64"
cc=$(command -v $triple-gcc-win32 || command -v $triple-gcc)
objdump=$(command -v $triple-objdump) || die "no $triple-objdump"
nm=$(command -v $triple-nm) || die "no $triple-nm"

# ---- Build ----------------------------------------------------------------------
cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAULTRUN_TESTS=OFF -DVAULTRUN_TOOLS=OFF >/dev/null ||
  die "cmake configure failed"
cmake --build "$out" --target kestrova-vaultrun -j"$(nproc)" >"$out/build.log" 2>&1 ||
  { tail -40 "$out/build.log" >&2; die "cross-build failed (log: $out/build.log)"; }
dll="$out/kestrova-vaultrun.dll"
[ -f "$dll" ] || die "missing $dll"

host_src="$root/tests/windows/win_host.c"
host="$out/win_host.exe"
if [ ! -f "$host" ] || [ "$host_src" -nt "$host" ] || [ "$root/include/vaultrun.h" -nt "$host" ]; then
  "$cc" -std=c11 -O1 -Wall -Wextra -Werror -static -I"$root/include" -o "$host" "$host_src" -lws2_32 ||
    die "building the Windows test host failed"
fi

# ---- Checks ---------------------------------------------------------------------
"$objdump" -f "$dll" | grep -q 'file format pei-x86-64' || die "$dll is not a 64-bit PE image"

tables=$("$objdump" -p "$dll")
expected="vaultrun_cancel
vaultrun_free
vaultrun_last_error
vaultrun_list_databases
vaultrun_progress
vaultrun_result
vaultrun_start
vaultrun_status
vaultrun_test_connection
vaultrun_version"
exports=$(printf '%s\n' "$tables" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF == 0 {on=0} on {print $NF}' | sort)
if [ "$exports" != "$expected" ]; then
  echo "export table differs from the ten vaultrun_ names:" >&2
  diff <(echo "$expected") <(echo "$exports") >&2 || true
  exit 1
fi

imports=$(printf '%s\n' "$tables" | awk '/DLL Name:/ {print $3}')
[ -n "$imports" ] || die "no import table found in $dll"
bad_imports=$(echo "$imports" | grep -viE '^(kernel32|ws2_32|secur32|crypt32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$' || true)
if [ -n "$bad_imports" ]; then
  echo "$dll imports DLLs that are not part of Windows:" >&2
  echo "$bad_imports" >&2
  exit 1
fi

# The mingw start-up code may call abort on a broken image; our own code never
# ends or unwinds the host's process.
objs=$(find "$out/CMakeFiles/vaultrun_obj.dir" -name '*.obj')
[ -n "$objs" ] || die "no objects of the library found under $out"
# shellcheck disable=SC2086
forbidden=$("$nm" -u $objs | awk '{print $NF}' |
  grep -E '^(exit|_exit|_Exit|abort|quick_exit|__cxa_throw|__cxa_rethrow|_Unwind_Resume|_ZSt9terminatev)$' |
  sort -u || true)
[ -z "$forbidden" ] || die "the library references: $forbidden"

echo "windows-build: $dll ok (exports: 10 undecorated; imports: $(echo $imports | tr ' ' ','))"

#!/usr/bin/env bash
# windows_test.sh build|run SOURCE_DIR WORK_DIR
#   build  cross-builds kelvra_at.dll (scripts/build-windows.sh), reads its export and import
#          tables, checks the staged files, and cross-builds dll_host.exe against the staged
#          header and import library.
#   run    runs dll_host.exe under wine. When wine itself cannot start a program here, it says
#          so loudly and exits 77, which CTest reports as skipped.
set -euo pipefail
mode=$1 src=$2 work=$3
here=$src/tests/lib/windows
run=$work/run
mkdir -p "$work"
triplet=x86_64-w64-mingw32

skip() {
  echo "======================================================================"
  echo "SKIPPED: $*"
  echo "kelvra_at.dll has NOT been tested under Windows in this run."
  echo "======================================================================"
  exit 77
}

if [ "$mode" = build ]; then
  cc=$(command -v $triplet-gcc-win32 || command -v $triplet-gcc || true)
  objdump=$(command -v $triplet-objdump || true)
  [ -n "$cc" ] && [ -n "$objdump" ] ||
    skip "no mingw-w64 cross compiler (bash scripts/install-deps.sh installs it)"
  stage=$(bash "$src/scripts/build-windows.sh" "$work/build" 2>"$work/build.log" | tail -n 1) || {
    cat "$work/build.log"; exit 1; }
  dll=$stage/bin/kelvra_at.dll
  dump=$("$objdump" -p "$dll")

  fail=0
  grep -q 'file format pei-x86-64' <<<"$dump" || { echo "not a 64-bit PE file"; fail=1; }
  # Exports: exactly the kvat_ functions the public header declares, and the .def file agrees.
  sed -n 's/^KVAT_API[^(]*[ *]\(kvat_[a-z0-9_]*\)(.*/\1/p' "$src/lib/include/kelvra_at.h" |
    sort >"$work/header.txt"
  awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /^\t\[/ {print $3}
    t && /^$/ {t = 0}' <<<"$dump" | sort >"$work/exports.txt"
  sed -n 's/^ *\(kvat_[a-z0-9_]*\) *$/\1/p' "$src/lib/kelvra_at.def" | sort >"$work/def.txt"
  [ "$(wc -l <"$work/header.txt")" -eq 31 ] || { echo "header declares $(wc -l <"$work/header.txt") functions"; fail=1; }
  diff -u "$work/header.txt" "$work/exports.txt" || { echo "export table differs from the header"; fail=1; }
  diff -u "$work/header.txt" "$work/def.txt" || { echo "kelvra_at.def differs from the header"; fail=1; }
  # Imports: the system's kernel library and the C runtime (msvcrt or the UCRT sets), nothing
  # else: no libgcc, libstdc++ or libwinpthread.
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
  echo "imports: $(echo $imports)"
  for name in $imports; do
    case "$name" in
      kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
      *) echo "unexpected import: $name"; fail=1 ;;
    esac
  done
  grep -qx kernel32.dll <<<"$imports" || { echo "no KERNEL32 import?"; fail=1; }
  # What a Windows host gets: DLL, import library, .def file and the very same header.
  for f in bin/kelvra_at.dll lib/kelvra_at.lib lib/kelvra_at.def include/kelvra_at.h \
           include/kelvra_at_records.h lib/cmake/kelvra_at/kelvra_atConfig.cmake; do
    [ -f "$stage/$f" ] || { echo "missing from the install: $f"; fail=1; }
  done
  cmp -s "$stage/include/kelvra_at.h" "$src/lib/include/kelvra_at.h" || { echo "header differs"; fail=1; }
  [ -f "$work/build/kelvra_at-$(sed -n 's/^project(kelvra VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")-win64.zip" ] ||
    { echo "no ZIP package"; fail=1; }
  [ "$fail" -eq 0 ] || exit 1

  rm -rf "$run" && mkdir -p "$run"
  cp "$dll" "$run/"
  "$cc" -std=c99 -O2 -Wall -Wextra -Wpedantic -Werror -I"$stage/include" "$here/dll_host.c" \
    -L"$stage/lib" -lkelvra_at -o "$run/dll_host.exe"
  "$cc" -std=c99 -O2 "$here/wine_probe.c" -o "$run/wine_probe.exe"
  grep -q 'DLL Name: kelvra_at.dll' <<<"$("$objdump" -p "$run/dll_host.exe")" ||
    { echo "dll_host.exe does not import kelvra_at.dll"; exit 1; }
  echo "kelvra_at.dll: 31 exports, imports $(echo $imports); dll_host.exe built"
  exit 0
fi

# run
[ -f "$run/dll_host.exe" ] || skip "dll_host.exe was not built (see the test lib_windows_dll)"
wine=$(command -v wine64 || command -v wine || true)
[ -n "$wine" ] || { [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64; } ||
  skip "wine is not installed (bash scripts/install-deps.sh installs wine64)"
wineserver=$(command -v wineserver || true)
for w in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  [ -z "$wineserver" ] && [ -x "$w" ] && wineserver=$w
done
export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$WINEPREFIX"
stop_wine() { if [ -n "$wineserver" ]; then "$wineserver" -k 2>/dev/null || true; fi; }
trap stop_wine EXIT
# One wine start for both programs: the probe pays for the prefix set-up (slow the first
# time), the test program reuses the running wineserver.
start=$(date +%s%N)
probe=$(cd "$run" && timeout 180 "$wine" wine_probe.exe 2>"$work/wine.log" | tr -d '\r') || true
[ "$probe" = "wine runs" ] || { tail -n 20 "$work/wine.log"; skip "wine cannot run a Windows program on this machine ($wine)"; }
ready=$(date +%s%N)
cd "$run"
status=0
timeout 300 "$wine" dll_host.exe || status=$?
end=$(date +%s%N)
awk -v a="$start" -v b="$ready" -v c="$end" \
  'BEGIN { printf "wine start-up %.1f s, dll_host.exe %.1f s\n", (b - a) / 1e9, (c - b) / 1e9 }'
[ "$status" -eq 0 ] || { echo "dll_host.exe failed under wine (status $status)"; exit 1; }

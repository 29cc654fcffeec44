#!/usr/bin/env bash
# serial_wine_test.sh build|run SOURCE_DIR NATIVE_KVAT MINGW_DIR WORK_DIR
#   build  reads the import table of the cross-built kvat.exe (MINGW_DIR/stage, made by the
#          test lib_windows_dll) and cross-builds the channel probe in MINGW_DIR.
#   run    under wine, in a fresh prefix: the port listing against fake Ports-class devices,
#          the channel and kvat.exe against virtual writers (kvat sim, the Linux build) mapped
#          to COM ports, an unplug; kvat.exe run's messages and result files must equal the
#          Linux kvat run's on the same script and writers. When wine cannot run a program
#          here, it says so loudly and exits 77, which CTest reports as skipped.
set -euo pipefail
mode=$1 src=$2 kvat=$3 mingw=$4 work=$5
here=$src/tests/windows
stage=$mingw/stage
kvat_exe=$stage/bin/kvat.exe
probe=$mingw/tests/windows/kvat_channel_probe.exe
mkdir -p "$work"

skip() {
  echo "======================================================================"
  echo "SKIPPED: $*"
  echo "kvat.exe and the Windows serial channel have NOT been tested in this run."
  echo "======================================================================"
  exit 77
}
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
failures=0

if [ "$mode" = build ]; then
  objdump=$(command -v x86_64-w64-mingw32-objdump || true)
  [ -n "$objdump" ] || skip "no mingw-w64 binutils (bash scripts/install-deps.sh installs them)"
  [ -f "$kvat_exe" ] || skip "kvat.exe was not built (the test lib_windows_dll builds it; it needs g++-mingw-w64-x86-64-posix)"
  dump=$("$objdump" -p "$kvat_exe")
  grep -q 'file format pei-x86-64' <<<"$dump" || fail "kvat.exe is not a 64-bit PE file"
  # System DLLs only: the C++ runtime, libgcc and winpthread are linked in.
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
  echo "kvat.exe imports: $(echo $imports)"
  for name in $imports; do
    case "$name" in
      kernel32.dll | msvcrt.dll | advapi32.dll | setupapi.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
      *) fail "kvat.exe imports $name" ;;
    esac
  done
  grep -qx setupapi.dll <<<"$imports" || fail "kvat.exe does not import SETUPAPI (no port listing?)"
  zip=$(ls "$mingw"/kelvra_at-*-win64.zip 2>/dev/null | head -n 1)
  # grep reads the whole listing: with -q it would leave early, and under pipefail unzip's
  # SIGPIPE would fail the check.
  [ -n "$zip" ] && unzip -l "$zip" | grep '/bin/kvat.exe$' >/dev/null || fail "kvat.exe is not in the ZIP package"
  cmake --build "$mingw" --target kvat_channel_probe >"$work/probe-build.log" 2>&1 ||
    { cat "$work/probe-build.log"; fail "the channel probe does not build"; }
  [ "$failures" -eq 0 ] || exit 1
  exit 0
fi

# ---------------------------------------------------------------------------------- run ----
[ -f "$kvat_exe" ] && [ -f "$probe" ] || skip "kvat.exe or the channel probe was not built (see windows_kvat_exe)"
[ -x "$kvat" ] || skip "no Linux kvat at $kvat"
wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
[ -n "$wine" ] || skip "wine is not installed (bash scripts/install-deps.sh installs wine64)"
wineserver=$(command -v wineserver || true)
for w in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
  [ -z "$wineserver" ] && [ -x "$w" ] && wineserver=$w
done
[ -n "$wineserver" ] || skip "no wineserver"
cc=$(command -v cc || command -v gcc || true)
[ -n "$cc" ] || skip "no C compiler for the test helper"

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
rm -rf "$WINEPREFIX" "$work/sim" "$work/out"
mkdir -p "$WINEPREFIX" "$work/sim" "$work/out"
# Pseudo-terminals have no modem lines; the helper gives them quiet ones (see its comment).
"$cc" -shared -fPIC -O2 -o "$work/modem_lines.so" "$here/modem_lines_preload.c" -ldl
helper=$work/modem_lines.so

sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT
# Our own server first: started by a wine program instead, it would take the first
# pseudo-terminal as its controlling terminal and flood the output when that hangs up.
setsid "$wineserver" -f -p </dev/null >"$work/wineserver.log" 2>&1 &
sleep 0.5
# wine PRELOAD SECONDS PROGRAM ARGS... : one Windows program, bounded in time, output to files
# only (wine's own services inherit the first program's output and outlive it).
wine_run() {
  local preload=$1 seconds=$2
  shift 2
  LD_PRELOAD=$preload timeout "$seconds" "$wine" "$@" </dev/null
}
start=$(date +%s%N)
wine_run "" 180 wineboot >"$work/wineboot.log" 2>&1 || true
version=$(wine_run "" 60 "$kvat_exe" --version 2>"$work/wine.log" | tr -d '\r') || true
[[ "$version" == "kvat "* ]] || { tail -n 20 "$work/wine.log"; skip "wine cannot run kvat.exe on this machine ($wine)"; }
awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "wine prefix ready in %.1f s\n", (b - a) / 1e9 }'

# ------------------------------------------------------------------ the port listing ----
python3 "$here/fake_ports.py" "$work/ports.reg"
wine_run "" 60 regedit /S "Z:$work/ports.reg" >/dev/null 2>&1 || fail "regedit could not import the fake devices"
wine_run "" 60 "$kvat_exe" ports --json >"$work/ports.json" 2>"$work/ports.err" || fail "kvat.exe ports failed"
diff -u "$here/expected/ports.json" "$work/ports.json" || fail "kvat.exe ports --json differs"

# --------------------------------------------------------------- virtual writers ----
# start_writers NAME ARGS... : a pool of virtual writers; its links are $work/sim/NAME/ttyKVn.
start_writers() {
  local name=$1
  shift
  "$kvat" sim --link-dir "$work/sim/$name" --duration 300 "$@" >"$work/sim/$name.log" 2>&1 &
  sims+=($!)
  for _ in $(seq 100); do grep -q "Stop with" "$work/sim/$name.log" 2>/dev/null && return 0; sleep 0.05; done
  cat "$work/sim/$name.log"
  echo "virtual writers $name did not start"
  exit 1
}
# map NAME COMn... : the pool's writers as COM ports of the prefix.
map() {
  local name=$1 i=0
  shift
  for com in "$@"; do
    ln -sfn "$work/sim/$name/ttyKV$i" "$WINEPREFIX/dosdevices/$(tr 'A-Z' 'a-z' <<<"$com")"
    i=$((i + 1))
  done
}

start_writers probe -n 2
map probe COM5 COM6
# The channel on its own: round trips, opens and closes, a port that does not exist.
for preload in "$helper" ""; do
  label=${preload:+with quiet modem lines}
  label=${label:-without modem lines}
  wine_run "$preload" 60 "$probe" rounds COM5 200 >"$work/rounds.txt" 2>&1 || { cat "$work/rounds.txt"; fail "round trips ($label)"; }
  echo "channel, $label: $(tr -d '\r' <"$work/rounds.txt")"
  wine_run "$preload" 60 "$probe" cycles COM6 20 >"$work/cycles.txt" 2>&1 || { cat "$work/cycles.txt"; fail "open and close ($label)"; }
  echo "channel, $label: $(tr -d '\r' <"$work/cycles.txt")"
done
wine_run "$helper" 30 "$probe" bad COM42 >"$work/bad.txt" 2>&1 || { cat "$work/bad.txt"; fail "a port that does not exist"; }
# A named port that the listing also holds (COM5 is the fake writer device) is opened once.
wine_run "$helper" 60 "$kvat_exe" scan --port COM5 --json >"$work/scan.json" 2>"$work/scan.err" || fail "kvat.exe scan --port COM5"
[ "$(grep -c '"port": "COM5"' "$work/scan.json")" = 1 ] && grep -q '"serial_number": "KVSIM0000"' "$work/scan.json" ||
  { cat "$work/scan.json" "$work/scan.err"; fail "kvat.exe scan --port COM5 did not list COM5 once"; }
# The listing alone finds it too: the fake writer device is COM5.
wine_run "$helper" 60 "$kvat_exe" scan >"$work/scan.txt" 2>&1 || fail "kvat.exe scan"
grep -q '^COM5 .*KVSIM0000' "$work/scan.txt" || { cat "$work/scan.txt"; fail "kvat.exe scan did not find COM5 by the listing"; }
echo "listing: $(tr -d '\r' <"$work/scan.txt" | tail -n 1) found through the fake writer device COM5"
# A named port that does not exist is dropped; the listed writer is still found.
status=0
wine_run "$helper" 60 "$kvat_exe" scan --port COM42 >"$work/scan42.txt" 2>&1 || status=$?
# A named port that does not exist is no writer, and the scan says why.
[ "$status" = 0 ] && grep -q '^1 writer$' "$work/scan42.txt" &&
  grep -q 'COM42 .*cannot be opened: no such port' "$work/scan42.txt" && ! grep -q '^COM42' "$work/scan42.txt" ||
  { cat "$work/scan42.txt"; fail "kvat.exe scan --port COM42: status $status"; }

# The loss: the writer goes away while the channel waits.
start_writers lost -n 1
map lost COM9
rm -f "$work/lost.txt"
(wine_run "$helper" 60 "$probe" lost COM9 >"$work/lost.txt" 2>&1; echo "status $?" >>"$work/lost.txt") &
lost_probe=$!
for _ in $(seq 100); do grep -q ready "$work/lost.txt" 2>/dev/null && break; sleep 0.05; done
kill "${sims[-1]}"
wait "$lost_probe" || true
grep -q 'status 0' "$work/lost.txt" || { cat "$work/lost.txt"; fail "the loss of a port"; }
echo "channel: $(grep -a 'loss reported' "$work/lost.txt" | tr -d '\r')"

# ------------------------------------------------- kvat.exe run against kvat run ----
# compare CASE SIM_ARGS... : the same script on two fresh pools of equal writers, one through
# kvat.exe (COM5, COM6), one through the Linux kvat (the links ttyKV0, ttyKV1).
# With NORMALISE set, a step that a loss cuts short reads the same whichever way it failed:
# on either system the port error or the time-out, by whether the loss came before the next
# write or after it.
compare() {
  local case=$1
  shift
  local norm='s/^//'
  [ -n "${NORMALISE:-}" ] && norm='s/ The communication port error\.\.\./ LOST/; s/ Time out \.\.\./ LOST/; s/ LOST (port lost)/ LOST/'

  start_writers "$case-win" -n 2 "$@"
  start_writers "$case-linux" -n 2 "$@"
  map "$case-win" COM5 COM6
  local out=$work/out/$case
  mkdir -p "$out/win" "$out/linux"
  local win_status=0 linux_status=0
  (cd "$src/examples/scripts" &&
    wine_run "$helper" 120 "$kvat_exe" run production.kvatscript --port COM5 --port COM6 \
      --out "Z:$out/win" >"$out/win.stdout" 2>"$out/win.stderr") || win_status=$?
  (cd "$src/examples/scripts" &&
    timeout 120 "$kvat" run production.kvatscript --port "$work/sim/$case-linux/ttyKV0" \
      --port "$work/sim/$case-linux/ttyKV1" --out "$out/linux" >"$out/linux.stdout" 2>"$out/linux.stderr") ||
    linux_status=$?
  [ "$win_status" = "$linux_status" ] || fail "$case: kvat.exe run ended with $win_status, kvat run with $linux_status"
  # Message lines without their times and with one name per port, in order per port.
  sed 's/^[0-9][0-9]:[0-9][0-9]:[0-9][0-9] //; s/COM5/PORT0/g; s/COM6/PORT1/g' "$out/win.stdout" | sed "$norm" | sort >"$out/win.lines"
  sed 's/^[0-9][0-9]:[0-9][0-9]:[0-9][0-9] //; s/ttyKV0/PORT0/g; s/ttyKV1/PORT1/g' "$out/linux.stdout" | sed "$norm" | sort >"$out/linux.lines"
  diff -u "$out/linux.lines" "$out/win.lines" || fail "$case: the message lines differ"
  for port in 0 1; do
    diff -r "$out/linux/InfoFile/A-ttyKV$port" "$out/win/InfoFile/A-COM$((port + 5))" ||
      fail "$case: the result files of writer $port differ"
  done
  local linux_log win_log
  linux_log=$(ls "$out"/linux/log/*.json) win_log=$(ls "$out"/win/log/*.json)
  cmp -s <(sed 's/ttyKV0/PORT0/g; s/ttyKV1/PORT1/g' "$linux_log" | sed "$norm") <(sed 's/COM5/PORT0/g; s/COM6/PORT1/g' "$win_log" | sed "$norm") ||
    { diff <(sed 's/ttyKV0/PORT0/g; s/ttyKV1/PORT1/g' "$linux_log" | sed "$norm") <(sed 's/COM5/PORT0/g; s/COM6/PORT1/g' "$win_log" | sed "$norm") || true
      fail "$case: the run logs differ"; }
  echo "$case: kvat.exe run and kvat run agree ($(grep -c . "$out/win.lines") message lines, status $win_status)"
}
compare plain
# The second writer goes away after five requests: reported once, and the run ends as on Linux.
NORMALISE=1 compare unplug --fault-writer 1 --fault-disappear-after 5
lost_lines=$(grep -c 'COM6已断开' "$work/out/unplug/win.stdout" || true)
[ "$lost_lines" = 1 ] || fail "unplug: COM6 was reported lost $lost_lines times"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "kvat.exe and the serial channel under wine: all checks passed"

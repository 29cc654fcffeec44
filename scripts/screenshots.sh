#!/usr/bin/env bash
# screenshots.sh [BUILD_DIR] : builds the desktop program if needed (default build-gui/), then
# runs it under Xvfb on four virtual writers, one answering the firmware write with an error
# and one unplugged during the run, and saves the README's pictures in docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-gui}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target Kelvra_ATCmd_GUI >&2
program=$(realpath "$build/gui/Kelvra_ATCmd_GUI")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/jobs/firmware.hex "$work/"
# Relative file names: read from the folder the program starts in.
cat > "$work/flash.kvatscript" <<'SCRIPT'
-info
-connect
-erase -t 10000
-write -addr 0x8000000 -f "firmware.hex" -fw-num 0
-read -addr 0x8000000 -s 0x40
-cid
-reset -type 3
SCRIPT

mkdir -p docs/screenshots
# Writer 1 refuses the write (24: target write flash failed); writer 2 is gone after the scan's
# probe and three requests, in the middle of the write.
cd "$work"
LANG=C.UTF-8 QT_QPA_PLATFORMTHEME= xvfb-run -a -s "-screen 0 1600x1000x24" \
  "$program" --program-dir "$work/program" --simulate 4 \
  --simulate-fault 1:nack=24@109 --simulate-fault 2:unplug=4 \
  --screenshots "$root/docs/screenshots" --screenshot-script flash.kvatscript >"$work/program.log" 2>&1 || {
    cat "$work/program.log" >&2
    exit 1
  }
grep '\.png$' "$work/program.log"

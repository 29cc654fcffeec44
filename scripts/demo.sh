#!/usr/bin/env bash
# demo.sh : install what is needed, build everything, and run the main job: a production
# script (connect, erase, write a 16 KiB image, read it back, chip ID, writer information,
# reset) on four virtual writers at once, as the program runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tail -n 1)
kvat="$root/$dir/cli/kvat"
out="$root/out/job"
rm -rf "$out"
mkdir -p "$out"

# Relative file names in a script are read from the current folder, as in the program.
cd examples/jobs
set +e
"$kvat" run flash.kvatscript --simulate 4 --out "$out"
status=$?
set -e
echo
echo "kvat run exited with $status"

# What every writer read back must be what was written.
"$kvat" image firmware.hex --fw-num 0 -o "$out/image.bin" >/dev/null
for memory in "$out"/InfoFile/*/memory.bin; do
  if cmp -s "$memory" "$out/image.bin"; then
    echo "$memory: the 16 KiB read back equal the image"
  else
    echo "$memory: differs from the image" >&2
    status=1
  fi
done

# The station record of this run, as the unit database keeps it.
if "$kvat" history --help >/dev/null 2>&1; then
  echo
  echo "kvat history --run last --db $out/log/units.db"
  "$kvat" history --run last --db "$out/log/units.db" || status=1
fi
exit "$status"

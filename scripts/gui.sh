#!/usr/bin/env bash
# gui.sh [PROGRAM OPTIONS] : installs what is needed, builds, and opens Kelvra_ATCmd_GUI on
# four virtual writers (press "扫描AT端口" to find them). Options are passed to the program,
# e.g. --port /dev/ttyUSB0 to scan a device the discovery rules leave out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tee /dev/stderr | tail -n 1)
program="$dir/gui/Kelvra_ATCmd_GUI"
if [ ! -x "$program" ]; then
  echo "gui.sh: $program was not built (is Qt 6 installed?)" >&2
  exit 1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "gui.sh: no display; run it from a desktop session (or under xvfb-run to try it blind)" >&2
  exit 1
fi
exec "$program" --simulate 4 "$@"

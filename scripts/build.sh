#!/usr/bin/env bash
# build.sh [--sanitize address|thread] : configure and build into build/ (or build-<sanitizer>/).
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; fi
dir="build${sanitize:+-$sanitize}"
type=RelWithDebInfo
[ -n "$sanitize" ] && type=Debug
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKELVRA_SANITIZE="$sanitize" \
  $([ -n "$sanitize" ] && echo -DKELVRA_BUILD_BENCH=OFF) >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"

#!/usr/bin/env bash
# demo.sh : install what is needed, build everything, and run the main job.
# Until the program's run exists, the main job drives two virtual writers with the example
# C host and then runs the library's benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tail -n 1)

links=$(mktemp -d)
"$dir/cli/kvat" sim --count 2 --link-dir "$links" --duration 60 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$links"' EXIT
for _ in $(seq 50); do [ -e "$links/ttyKV1" ] && break; sleep 0.1; done
for port in "$links"/ttyKV*; do
  echo "== $port"
  "$dir/examples/c_host/c_host" "$port"
done
echo
"$dir/bench/lib/bench_lib"

#!/usr/bin/env bash
# demo.sh : install what is needed, build everything, and run the main job.
# Until the program's run exists, the main job is the library's benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tail -n 1)
"$dir/bench/lib/bench_lib"

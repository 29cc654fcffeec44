#!/usr/bin/env bash
# test.sh [--sanitize address|thread] : install what is needed, build, run the tests.
# Under ThreadSanitizer only the tests labelled "threaded" run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; fi
dir=$(bash scripts/build.sh ${sanitize:+--sanitize "$sanitize"} | tail -n 1)
label=()
[ "$sanitize" = "thread" ] && label=(-L threaded)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300 "${label[@]}"

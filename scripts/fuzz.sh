#!/usr/bin/env bash
# Runs every fuzz target for the given time (seconds each, default 60) on the
# committed seed corpus, natively with AddressSanitizer and UndefinedBehavior-
# Sanitizer. New inputs go to build/linux-asan/tests/fuzz/work/<target>; a
# finding stops the run with the crashing input saved beside it.
#   scripts/fuzz.sh [seconds] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(frame_decoder ipc_client activity_json command_parser)
fi

scripts/install-deps.sh
cmake --preset linux-asan >/dev/null
cmake --build --preset linux-asan --target $(printf '%s_fuzz ' "${targets[@]}")

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in "${targets[@]}"; do
  work="$root/build/linux-asan/tests/fuzz/work/$target"
  mkdir -p "$work"
  echo "== $target: ${seconds}s"
  (cd "$work" && "$root/build/linux-asan/bin/${target}_fuzz" -max_total_time="$seconds" -timeout=10 \
     -rss_limit_mb=2048 -print_final_stats=1 "$work" "$root/tests/fuzz/corpus/$target" 2>&1 |
     grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY|Test unit written')
done

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time.
#   scripts/fuzz.sh            short run (10 s a target; part of the test command)
#   scripts/fuzz.sh --long     long run (10 minutes a target, or FUZZ_SECONDS)
# Seeds live in fuzz/corpus/<target>; what a run finds stays in build-fuzz/corpus/<target>.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-10}"
if [ "${1:-}" = "--long" ]; then
  seconds="${FUZZ_SECONDS:-600}"
fi
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_WERROR=ON \
  -DKESTREL_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)"
printf '%-24s %12s %10s\n' target executions seconds
for target in fuzz_tcp_stream fuzz_serial_stream fuzz_field_exchange fuzz_discovery_answer \
              fuzz_sim_requests fuzz_traffic_summary; do
  mkdir -p "$build/corpus/$target"
  log="$build/$target.log"
  # -timeout: one input that takes seconds is a failure (work must stay bounded per byte).
  if ! "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      "$build/corpus/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$target: FAILED (log: $log)"
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  printf '%-24s %12s %10s\n' "$target" "$runs" "$seconds"
done

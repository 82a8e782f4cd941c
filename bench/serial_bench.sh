#!/usr/bin/env bash
# Measures the serial link and prints two small tables:
#   bench/serial_bench.sh [build-folder]        (default: build; configured when new)
# - idle processor time of the panel with the reader waiting on a quiet line, and with the port
#   closed for comparison (BENCH_IDLE_SECONDS, default 5);
# - the duration of a search with no module against the 3432 ms of its read waits
#   (BENCH_SEARCH_RUNS, default 3).
# The module is a pseudo-terminal played by the bench itself; nothing leaves the machine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${KESTREL_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
fi
cmake --build "$build" --target serial_link_bench -j 2 >/dev/null
QT_QPA_PLATFORM=offscreen KESTREL_DISCOVERY_SCOPE=loopback \
  "$build/bin/serial_link_bench" --gtest_brief=1

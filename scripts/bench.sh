#!/usr/bin/env bash
# The benchmark command. Builds the panel, the simulator and the bench optimised (-O2, Release)
# into build-bench, then measures every figure side by side in one run and prints one table:
#   scripts/bench.sh                 the full run (about two and a half minutes)
#   scripts/bench.sh --quick         small counts, to try the bench itself
#   scripts/bench.sh --only=rtt-tcp,rtt-monitor,rtt-serial,idle,search,startup,framers,long,
#                           flood,stalls,cli
# Everything runs on loopback and on pseudo-terminals. The table goes to standard output,
# progress to standard error. KESTREL_BENCH_BUILD changes the build folder.
# kestrel-cli beside mbpoll is measured by bench/cli_vs_mbpoll.sh, on its own.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KESTREL_BENCH_BUILD:-$root/build-bench}"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$root/bench" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
       ninja -C "$build" -j 2 kestrel-bench; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "bench.sh: the build failed" >&2
  exit 1
fi
export QT_QPA_PLATFORM=offscreen KESTREL_DISCOVERY_SCOPE=loopback
unset KESTREL_TRACE
"$build/bin/kestrel-bench" "$@"

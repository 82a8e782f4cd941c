#!/usr/bin/env bash
# Sets up, builds and runs every test; exits non-zero on any failure:
#   1. the whole suite on an optimised build,
#   2. the build without Qt (-DKESTREL_QT=OFF) and its tests,
#   3. the Windows build (MinGW-w64) and its tests under Wine (scripts/test-windows.sh),
#   4. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   5. the whole suite again under ThreadSanitizer,
#   6. every fuzz target for a short, bounded time.
# KESTREL_QUICK=1 runs the first step only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen KESTREL_DISCOVERY_SCOPE=loopback
# The build without Qt compiles the first build's objects again under another folder's name:
# ccache serves them when that name is left out of the hash (their debug information names the
# folder they were first built in, a sibling, where the relative source paths lead as well).
export CCACHE_NOHASHDIR=true

run_suite() {  # folder, extra cmake arguments...
  local build="$1"
  shift
  KESTREL_BUILD_TYPE="${KESTREL_BUILD_TYPE:-RelWithDebInfo}" "$root/scripts/build.sh" "$build" "$@"
  (cd "$build" && ctest --output-on-failure -j 2 --timeout 300)
}

echo "== tests"
run_suite "$root/build"
if [ "${KESTREL_QUICK:-0}" = "1" ]; then
  exit 0
fi

echo "== tests of the build without Qt"
# Qt must not even be looked for.
run_suite "$root/build-noqt" -DKESTREL_QT=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON

echo "== the Windows build and its tests under Wine"
# Its Linux peer, the simulator, is the one the build without Qt just made.
KESTREL_LINUX_BUILD="$root/build-noqt" "$root/scripts/test-windows.sh" "$root/build-windows"

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
KESTREL_BUILD_TYPE=Debug run_suite "$root/build-asan" -DKESTREL_SANITIZE=address

echo "== tests under ThreadSanitizer"
TSAN_OPTIONS="suppressions=$root/tests/sanitizers/tsan.supp:ignore_noninstrumented_modules=1:halt_on_error=1:second_deadlock_stack=1:die_after_fork=0" \
KESTREL_BUILD_TYPE=Debug run_suite "$root/build-tsan" -DKESTREL_SANITIZE=thread

echo "== fuzzing, a short run of every target"
"$root/scripts/fuzz.sh"

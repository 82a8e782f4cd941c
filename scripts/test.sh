#!/usr/bin/env bash
# Sets up, builds and runs every test; exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
export QT_QPA_PLATFORM=offscreen KESTREL_DISCOVERY_SCOPE=loopback
cd "$root/build"
ctest --output-on-failure -j 2 --timeout 300

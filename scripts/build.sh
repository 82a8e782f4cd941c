#!/usr/bin/env bash
# Configures and builds Kestrel into the given folder (default: build), warnings as errors.
#   scripts/build.sh [folder [cmake arguments...]]
# KESTREL_TARGETS="a b" builds only those targets; KESTREL_BUILD_TYPE sets the build type.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${KESTREL_BUILD_TYPE:-RelWithDebInfo}" \
    -DKESTREL_WERROR=ON "$@" >/dev/null
targets=()
[ -z "${KESTREL_TARGETS:-}" ] || read -r -a targets <<<"--target $KESTREL_TARGETS"
cmake --build "$build" -j "$(nproc)" "${targets[@]}"

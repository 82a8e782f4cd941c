#!/usr/bin/env bash
# Configures and builds Kestrel into the given folder (default: build), warnings as errors.
#   scripts/build.sh [folder [cmake arguments...]]
# KESTREL_TARGETS="a b" builds only those targets; KESTREL_BUILD_TYPE sets the build type.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
# ccache, where installed, serves the three builds of the test command and later runs again;
# paths below the source tree are taken as relative, so another clone shares the cache.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${KESTREL_BUILD_TYPE:-RelWithDebInfo}" \
    -DKESTREL_WERROR=ON "${launcher[@]}" "$@" >/dev/null
targets=()
[ -z "${KESTREL_TARGETS:-}" ] || read -r -a targets <<<"--target $KESTREL_TARGETS"
cmake --build "$build" -j "$(nproc)" "${targets[@]}"

#!/usr/bin/env bash
# Cross-builds Kestrel's Windows parts (x86_64, MinGW-w64) into the given folder (default
# build-windows), warnings as errors, and makes the installer
# kestrel-<version>-setup.exe there.
#   scripts/build-windows.sh [folder [cmake arguments...]]
# KESTREL_TARGETS="a b" builds only those targets (and no installer).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-windows}"
shift || true
"$root/scripts/setup.sh"
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${KESTREL_BUILD_TYPE:-RelWithDebInfo}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DKESTREL_WERROR=ON "${launcher[@]}" "$@" >/dev/null
targets=()
[ -z "${KESTREL_TARGETS:-}" ] || read -r -a targets <<<"--target $KESTREL_TARGETS"
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
[ -n "${KESTREL_TARGETS:-}" ] || cmake --build "$build" --target windows_installer

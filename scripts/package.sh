#!/usr/bin/env bash
# Builds a release of Kestrel in build-package and makes its Debian package; prints the .deb path.
#   scripts/package.sh [build-folder]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-package}"

"$root/scripts/setup.sh"
# dpkg-shlibdeps (dpkg-dev) and file work out the package's library dependencies.
if ! command -v dpkg-shlibdeps >/dev/null || ! command -v file >/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends dpkg-dev file
fi

# Debian's optimisation level and hardening, as its own packages are built.
cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="-fstack-protector-strong -D_FORTIFY_SOURCE=2" \
    -DCMAKE_C_FLAGS="-fstack-protector-strong -D_FORTIFY_SOURCE=2" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" \
    -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" \
    -DBUILD_TESTING=OFF -DKESTREL_FUZZ=OFF -DKESTREL_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)"

out="$build/deb"
rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$build/cpack.log") || {
    cat "$build/cpack.log" >&2
    exit 1
}
deb="$(find "$out" -maxdepth 1 -name 'kestrel_*.deb' -print -quit)"
[ -n "$deb" ] || { echo "cpack made no package" >&2; exit 1; }
echo "$deb"

#!/usr/bin/env bash
# Installs the Kestrel package into a fresh Debian 12 root made with debootstrap and checks that
# it runs there: apt resolves its dependencies, the panel finds its search library and shows its
# window on the offscreen platform, the simulator answers --help, and the desktop entry is where
# menus look. Needs root and the Debian mirror this machine's apt uses; takes a few minutes, so
# it is not part of ctest.
#
#   tests/package/debootstrap_install.sh [package.deb] [root-folder]
#
# Without a package it builds one with scripts/package.sh. The root folder (default
# /var/tmp/kestrel-debootstrap) is kept between runs, so later runs skip debootstrap; delete it
# for a clean start. KESTREL_CHROOT_FRESH=1 deletes it first.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
deb="${1:-}"
root="${2:-/var/tmp/kestrel-debootstrap}"
suite=bookworm

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap and chroot need it)"
for tool in debootstrap chroot mountpoint; do
    command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install debootstrap)"
done

# The mirror this machine's apt uses for the main archive, so nothing else is contacted.
apt_mirror() {
    local uri
    uri="$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' |
        grep -v -- '-security' | head -n1 || true)"
    if [ -z "$uri" ]; then
        uri="$(grep -hs '^deb ' /etc/apt/sources.list | awk '{print $2}' |
            grep -v -- '-security' | head -n1 || true)"
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}
mirror="$(apt_mirror)"

if [ -z "$deb" ]; then
    step "building the package"
    deb="$("$repo/scripts/package.sh" | tail -n1)"
fi
[ -f "$deb" ] || fail "no package at $deb"
deb="$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"

mounted=()
cleanup() {
    local m
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        m="${mounted[$i]}"
        umount -l "$m" 2>/dev/null || true
    done
}
trap cleanup EXIT

bind_into_root() {
    local what="$1" where="$root$1"
    mkdir -p "$where"
    mountpoint -q "$where" || mount --bind "$what" "$where"
    mounted+=("$where")
}

if [ "${KESTREL_CHROOT_FRESH:-0}" = 1 ]; then
    rm -rf --one-file-system "$root"
fi
if [ ! -x "$root/usr/bin/apt-get" ]; then
    step "debootstrap $suite from $mirror into $root"
    rm -rf --one-file-system "$root"
    debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
        { tail -n 20 "$root.debootstrap.log" >&2; fail "debootstrap could not build the root"; }
fi

step "apt sources in the root: $mirror"
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
EOF
# Nothing the dependencies bring may start a service in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
bind_into_root /proc
bind_into_root /dev
mkdir -p "$root/tmp"
chmod 1777 "$root/tmp"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

step "apt installs $(basename "$deb") and its dependencies"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall --no-install-recommends \
    "/tmp/$(basename "$deb")" >"$root.apt.log" 2>&1 ||
    { tail -n 30 "$root.apt.log" >&2; fail "apt could not install the package"; }
in_root dpkg -s kestrel | grep -E '^(Version|Depends):'

step "installed files"
for file in /usr/bin/kestrel /usr/bin/kestrel-sim /usr/bin/kestrel-cli \
    /usr/share/man/man1/kestrel-cli.1.gz /usr/share/man/man1/kestrel.1.gz \
    /usr/share/man/man1/kestrel-sim.1.gz /usr/lib/kestrel/libDAVazIvurirU2.so \
    /usr/share/applications/kestrel.desktop /usr/share/icons/hicolor/64x64/apps/kestrel.png \
    /usr/share/icons/hicolor/scalable/apps/kestrel.svg /usr/share/doc/kestrel/copyright \
    /usr/share/doc/kestrel/changelog.Debian.gz; do
    [ -f "$root$file" ] || fail "$file is not installed"
    echo "  $file"
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/kestrel.desktop" ||
        fail "the desktop entry is not valid"
fi
! in_root ldd /usr/bin/kestrel | grep 'not found' || fail "the panel misses a library"

step "kestrel-sim --help"
in_root kestrel-sim --help | head -n 5

step "kestrel-cli --version and a search that finds its library"
! in_root ldd /usr/bin/kestrel-cli | grep 'not found' || fail "kestrel-cli misses a library"
in_root kestrel-cli --version || fail "kestrel-cli does not run"
in_root env KESTREL_DISCOVERY_SCOPE=loopback KESTREL_DISCOVERY_PORT=9 kestrel-cli discover 2>&1 |
    grep -q 'no module answered' || fail "kestrel-cli did not find its search library"

step "the panel starts from /usr/bin and shows its window"
log="$root/tmp/kestrel.err"
rm -f "$log"
rm -f "$root/tmp/timeout.pid"
# timeout's own pid is kept, so the panel (its child) can be told apart from any other kestrel.
in_root sh -c 'echo $$ >/tmp/timeout.pid; exec env QT_QPA_PLATFORM=offscreen KESTREL_TRACE=1 \
    KESTREL_DISCOVERY_SCOPE=loopback timeout 10 kestrel 2>/tmp/kestrel.err' &
runner=$!
shown=0
for _ in $(seq 100); do
    if grep -qs 'panel window shown: Quillon' "$log"; then
        shown=1
        break
    fi
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.1
done
# The panel is the child of timeout; SIGTERM closes its window the way the close box does.
panel="$(ps -o pid= --ppid "$(cat "$root/tmp/timeout.pid" 2>/dev/null || echo 0)" | head -n1 || true)"
if [ -n "$panel" ]; then
    kill -TERM $panel 2>/dev/null || true
fi
status=0
wait "$runner" || status=$?
sed 's/^/  /' "$log"
[ "$shown" = 1 ] || fail "no 'panel window shown' line (search library not found, or no platform)"
[ "$status" = 0 ] || fail "the panel exited with $status after SIGTERM"

echo "PASS: kestrel installs and runs in a clean $suite root"

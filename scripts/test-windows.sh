#!/usr/bin/env bash
# Builds the Windows parts (scripts/build-windows.sh) and runs their tests under Wine, in a
# prefix made afresh in the build folder (BUILD/wine-prefix), with no display (Wine's null
# graphics driver, which makes windows that draw nowhere) and loopback only:
#   0. what each program imports (DLLs Windows ships only) and what the search DLL exports,
#   1. the cross-built tests that need no Linux peer (ctest in the build folder, through wine),
#      the TCP link's table on the Win32 message loop and Winsock among them,
#   2. the Win32 COM port against the Linux kestrel-sim in serial mode on a pseudo-terminal,
#      mapped as COM7 through the prefix's dosdevices/com7, and a peer that hangs up as COM8,
#   3. the search library DLL against the simulator's discovery responder on loopback,
#   3b. kestrel-cli.exe against the simulator on loopback TCP and on a mapped COM port, each
#      command's output and status compared with the Linux kestrel-cli's, and Ctrl+C,
#   4. the panel, kestrel.exe, worked from outside by control id (win_panel_driver.exe) against
#      the simulator on loopback TCP, its discovery responder, and on a pseudo-terminal as COM7,
#   5. a silent install of the installer into the prefix, the installed panel's window, and the
#      silent uninstall.
#   scripts/test-windows.sh [BUILD_DIR]   (default build-windows)
# The simulator and the Linux kestrel-cli come from the build without Qt (KESTREL_LINUX_BUILD,
# default build-noqt).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(mkdir -p "${1:-$root/build-windows}" && cd "${1:-$root/build-windows}" && pwd)"
linux_build="${KESTREL_LINUX_BUILD:-$root/build-noqt}"

"$root/scripts/build-windows.sh" "$build"
KESTREL_TARGETS="kestrel-sim kestrel-cli" "$root/scripts/build.sh" "$linux_build" \
    -DKESTREL_QT=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON
sim="$linux_build/bin/kestrel-sim"

export WINEPREFIX="$build/wine-prefix" WINEARCH=win64 WINEDEBUG=-all
# No desktop entries for the installer's shortcuts, no offer of Mono or Gecko, no window.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
export KESTREL_DISCOVERY_SCOPE=loopback
unset DISPLAY WAYLAND_DISPLAY

work="$(mktemp -d)"
peers=()
cleanup() {
  for pid in "${peers[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
step() { echo "== $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Waits (10 s at most) for a peer's first line in its output file and prints it.
first_line() {
  for _ in $(seq 100); do
    if [ -s "$1" ]; then head -n 1 "$1"; return 0; fi
    sleep 0.1
  done
  echo "no line from the peer in $1" >&2
  return 1
}

start=$(date +%s)
step "Wine prefix $WINEPREFIX"
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
# Windows without a display: the null graphics driver.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1

step "imports and exports"
# Every program and library needs only DLLs that Windows ships (the C++ runtime and winpthread
# are linked in), and the search library exports the nine search functions and nothing else.
system_dlls="^(KERNEL32|msvcrt|ADVAPI32|WS2_32|IPHLPAPI|USER32|GDI32|COMCTL32)\.(dll|DLL)$"
for file in "$build"/bin/*.exe "$build"/bin/*.dll; do
  while read -r dll; do
    [[ "$dll" =~ $system_dlls ]] || fail "$(basename "$file") needs $dll"
  done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done
exports="$(x86_64-w64-mingw32-objdump -p "$build/bin/DAVazIvurirU2.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')"
expected="QBDM_GetAppProtocol QBDM_GetBaudrateIndex QBDM_GetDataBits QBDM_GetDevName QBDM_GetIP "
expected+="QBDM_GetParity QBDM_GetPort QBDM_GetWorkMode QBDM_StartSearchDev "
[ "$exports" = "$expected" ] || fail "DAVazIvurirU2.dll exports: $exports"

step "tests without a peer"
(cd "$build" && ctest --output-on-failure --timeout 120) || fail "cross-built tests"

step "COM port on a pseudo-terminal, the simulator in serial mode at 19200 baud"
mkdir -p "$work/com"
KESTREL_COM_DIR="$work/com" "$sim" --serial COM7 --baud 19200 </dev/null >"$work/sim-serial" 2>&1 &
peers+=($!)
python3 "$root/tests/windows/hangup_peer.py" >"$work/hangup" &
peers+=($!)
serial_line="$(first_line "$work/sim-serial")"
serial_pty="$(sed -n 's/^listening serial COM7 -> \(\/dev\/pts\/[0-9]*\) .*/\1/p' <<<"$serial_line")"
hangup_pty="$(first_line "$work/hangup")"
if [ -z "$serial_pty" ] || [ ! -c "$serial_pty" ] || [ ! -c "$hangup_pty" ]; then
  fail "serial peers: \"$serial_line\", \"$hangup_pty\""
else
  ln -sfn "$serial_pty" "$WINEPREFIX/dosdevices/com7"
  ln -sfn "$hangup_pty" "$WINEPREFIX/dosdevices/com8"
  KESTREL_TEST_COM=7 KESTREL_TEST_BAUD=19200 KESTREL_TEST_HANGUP_COM=8 \
      timeout 120 wine "$build/bin/win_serial_port_tests.exe" || fail "COM port"
  KESTREL_TEST_COM=7 timeout 120 wine "$build/bin/win_serial_ending_tests.exe" || fail "COM port at the end"
fi

step "search library DLL against the simulator's discovery responder on loopback"
discovery_port="$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$sim" --tcp 127.0.0.1:0 --name WINE-SIM --discovery-port "$discovery_port" </dev/null \
    >"$work/sim-tcp" 2>&1 &
peers+=($!)
tcp_line="$(first_line "$work/sim-tcp")"
module_port="$(sed -n 's/^listening tcp 127\.0\.0\.1:\([0-9]*\) .*/\1/p' <<<"$tcp_line")"
if [ -z "$module_port" ]; then
  fail "simulator on TCP: \"$tcp_line\""
else
  KESTREL_DISCOVERY_PORT="$discovery_port" KESTREL_TEST_MODULE_NAME=WINE-SIM \
  KESTREL_TEST_MODULE_PORT="$module_port" \
      timeout 120 wine "$build/bin/win_search_library_tests.exe" || fail "search library"
fi

step "kestrel-cli.exe against the simulator, beside the Linux kestrel-cli"
timeout 300 python3 "$root/tests/windows/cli_wine_test.py" "$linux_build/bin/kestrel-cli" \
    "$build/bin/kestrel-cli.exe" "$sim" || fail "kestrel-cli under Wine"

step "the panel against the simulator: TCP, discovery, and COM7 at 9600 baud"
# The driver clicks Connect only after it has typed 127.0.0.1 into the IP field.
free_port() {
  python3 -c "import socket; s = socket.socket(socket.AF_INET, socket.$1); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"
}
control_port="$(free_port SOCK_STREAM)"
panel_discovery_port="$(free_port SOCK_DGRAM)"
mkdir -p "$work/com-panel"
"$sim" --tcp 127.0.0.1:0 --name PANEL-SIM --discovery-port "$panel_discovery_port" \
    --control "$control_port" --ai 1000,2000 </dev/null >"$work/sim-panel" 2>&1 &
peers+=($!)
KESTREL_COM_DIR="$work/com-panel" "$sim" --serial COM7 --baud 9600 --no-discovery </dev/null \
    >"$work/sim-panel-serial" 2>&1 &
peers+=($!)
panel_line="$(first_line "$work/sim-panel")"
panel_port="$(sed -n 's/^listening tcp 127\.0\.0\.1:\([0-9]*\) .*/\1/p' <<<"$panel_line")"
panel_serial_line="$(first_line "$work/sim-panel-serial")"
panel_pty="$(sed -n 's/^listening serial COM7 -> \(\/dev\/pts\/[0-9]*\) .*/\1/p' <<<"$panel_serial_line")"
if [ -z "$panel_port" ] || [ ! -c "$panel_pty" ]; then
  fail "panel peers: \"$panel_line\", \"$panel_serial_line\""
else
  ln -sfn "$panel_pty" "$WINEPREFIX/dosdevices/com7"
  panel_start=$(date +%s)
  KESTREL_DISCOVERY_PORT="$panel_discovery_port" KESTREL_TEST_MODULE_PORT="$panel_port" \
  KESTREL_TEST_CONTROL_PORT="$control_port" KESTREL_TEST_MODULE_NAME=PANEL-SIM KESTREL_TEST_COM=7 \
      timeout 180 wine "$build/bin/win_panel_driver.exe" "$(winepath -w "$build/bin/kestrel.exe")" ||
    fail "panel"
  echo "(the panel's cases took $(($(date +%s) - panel_start)) s)"
fi

step "silent install and uninstall"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
installed="$WINEPREFIX/drive_c/Program Files/Kestrel"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kestrel"
timeout 120 wine "$build/kestrel-$version-setup.exe" /S || fail "installer exit status"
for file in "$installed/DAVazIvurirU2.dll" "$installed/README.md" "$installed/kestrel.exe" \
    "$installed/kestrel-cli.exe" "$installed/uninstall.exe" "$menu/Kestrel.lnk" "$menu/README.lnk" \
    "$menu/Uninstall Kestrel.lnk"; do
  [ -f "$file" ] || fail "not installed: $file"
done
cmp -s "$installed/DAVazIvurirU2.dll" "$build/bin/DAVazIvurirU2.dll" || fail "installed DLL differs"
# The installed panel starts (its search library found beside it: no box) and closes.
timeout 60 wine "$build/bin/win_panel_driver.exe" "$(winepath -w "$installed/kestrel.exe")" --installed ||
  fail "the installed panel"
# The uninstaller runs from a copy of itself in the temporary folder: wait for every process.
timeout 120 wine "$installed/uninstall.exe" /S || fail "uninstaller exit status"
timeout 120 wineserver -w || true
[ ! -e "$installed" ] || fail "left after uninstall: $(ls -A "$installed")"
[ ! -e "$menu" ] || fail "Start menu folder left after uninstall"

echo "== Windows tests took $(($(date +%s) - start)) s after the build"
if [ "$failures" -ne 0 ]; then
  echo "$failures Windows test step(s) failed"
  exit 1
fi
echo "All Windows tests passed"

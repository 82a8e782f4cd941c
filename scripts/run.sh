#!/usr/bin/env bash
# Sets up, builds and starts the panel with two simulated modules on this machine:
#   a network module on 127.0.0.1:4196 (Modbus TCP framing), and
#   a serial module at 9600 baud on COM5 (a pseudo-terminal published in $KESTREL_COM_DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
bin="$root/build/bin"

export KESTREL_DISCOVERY_SCOPE=loopback   # discovery stays on this machine
export KESTREL_COM_DIR="${KESTREL_COM_DIR:-$(mktemp -d /tmp/kestrel-com.XXXXXX)}"

pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; }
trap cleanup EXIT

"$bin/kestrel-sim" --tcp 127.0.0.1:4196 --name "Demo-7310" --di 0101 --ai 512,1023 </dev/null &
pids+=($!)
"$bin/kestrel-sim" --serial COM5 --baud 9600 --address 1 --di 1010 --ai 256,768 </dev/null &
pids+=($!)

cat <<MSG
Simulated modules are running:
  network module: IP 127.0.0.1, port 4196, "MODBUS TCP" (also listed by the network "Search")
  serial module:  COM5 at 9600 baud (pick COM5 in "Com:", then Open and Search)
Starting the panel; close its window to stop everything.
MSG
"$bin/kestrel"

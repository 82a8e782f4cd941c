#!/usr/bin/env bash
# Sets up, builds and starts the panel with two simulated modules on this machine:
#   a network module on 127.0.0.1:4196 (Modbus TCP framing; KESTREL_SIM_PORT=N picks port N),
#   a serial module at 9600 baud on COM5 (a pseudo-terminal published in $KESTREL_COM_DIR).
# Its first line of output names the folder of the COM ports (a new one under /tmp each run,
# unless KESTREL_COM_DIR is set): give it to kestrel-cli as KESTREL_COM_DIR to reach COM5.
# Builds only the panel, its search library, kestrel-cli and the simulator. Stops with the
# simulator's own message when a module cannot start (its port taken, say). Closing the panel's
# window, Ctrl+C or SIGTERM stops the modules and removes the run's temporary folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d /tmp/kestrel-run.XXXXXX)"
export KESTREL_COM_DIR="${KESTREL_COM_DIR:-$work}"
echo "run.sh: the COM ports are in $KESTREL_COM_DIR; for kestrel-cli in another terminal:"
echo "  export KESTREL_COM_DIR=$KESTREL_COM_DIR"
pids=()
cleanup() {
    if [ ${#pids[@]} -gt 0 ]; then
        kill "${pids[@]}" 2>/dev/null || true
        wait "${pids[@]}" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$root/scripts/setup.sh"
KESTREL_TARGETS="kestrel DAVazIvurirU2 kestrel-cli kestrel-sim" "$root/scripts/build.sh" "$root/build"
bin="$root/build/bin"
port="${KESTREL_SIM_PORT:-4196}"
export KESTREL_DISCOVERY_SCOPE=loopback # discovery stays on this machine

# start_module WHAT SIMULATOR-ARGUMENTS...: starts one simulated module and waits for its
# "listening" line; if the simulator ends first, the run ends with what it said.
start_module() {
    local what="$1" log="$work/$1.log"
    shift
    "$bin/kestrel-sim" "$@" </dev/null >"$log" 2>&1 &
    pids+=($!)
    local pid=$!
    for _ in $(seq 100); do
        grep -q '^listening' "$log" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "run.sh: the simulated $what module did not start:" >&2
    sed 's/^/  /' "$log" >&2
    if grep -qi 'in use' "$log"; then
        echo "Another program holds that port; stop it, or pick another port for the simulated" >&2
        echo "module, e.g. KESTREL_SIM_PORT=$((port + 1)) $0" >&2
    fi
    exit 1
}

start_module network --tcp "127.0.0.1:$port" --name "Demo-7310" --di 0101 --ai 512,1023
start_module serial --serial COM5 --baud 9600 --address 1 --di 1010 --ai 256,768

cat <<MSG
Simulated modules are running:
  network module: IP 127.0.0.1, port $port, "MODBUS TCP" (also listed by the network "Search")
  serial module:  COM5 at 9600 baud (pick COM5 in "Com:", then Open and Search; from a shell:
                  KESTREL_COM_DIR=$KESTREL_COM_DIR $bin/kestrel-cli --com COM5 params)
MSG
cat "$work"/*.log | sed 's/^/  kestrel-sim: /'
echo "Starting the panel; close its window to stop everything."
# In the background, so a signal to this script is handled at once and closes the panel too.
"$bin/kestrel" &
panel=$!
pids+=("$panel")
status=0
wait "$panel" || status=$?
exit "$status"

#!/usr/bin/env bash
# kestrel-cli beside mbpoll, side by side in one run, on simulated modules of this machine:
#   one network module (Modbus TCP on loopback), one serial module (RTU at 9600 baud on a
#   pseudo-terminal), and 20 network modules: kestrel-cli in one call against mbpoll called once
#   per module, as a script would. Every command reads the parameter block (holding registers
#   0x003F..0x0043, five registers) of unit 1 and is timed from its start to its end, the process
#   included; the table gives the median of RUNS runs (default 15) in milliseconds.
#   bench/cli_vs_mbpoll.sh [RUNS]
# Takes kestrel-cli and kestrel-sim from KESTREL_BIN (default build/bin: build them first with
# KESTREL_TARGETS="kestrel-cli kestrel-sim" scripts/build.sh). The commands timed are printed
# above the table, so anyone can rerun one by hand.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${KESTREL_BIN:-$root/build/bin}"
runs="${1:-15}"
modules=20
for tool in "$bin/kestrel-cli" "$bin/kestrel-sim" "$(command -v mbpoll || true)"; do
    [ -x "$tool" ] || { echo "cli_vs_mbpoll.sh: missing ${tool:-mbpoll}" >&2; exit 1; }
done

work="$(mktemp -d /tmp/kestrel-bench-cli.XXXXXX)"
pids=()
cleanup() {
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export KESTREL_COM_DIR="$work" KESTREL_DISCOVERY_SCOPE=loopback
unset KESTREL_TRACE

# start_sim ARGS...: one simulator; prints its "listening" line.
start_sim() {
    local log="$work/sim${#pids[@]}.log"
    "$bin/kestrel-sim" "$@" </dev/null >"$log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q '^listening' "$log" && { head -1 "$log"; return 0; }
        sleep 0.05
    done
    echo "cli_vs_mbpoll.sh: a simulator did not start:" >&2
    cat "$log" >&2
    exit 1
}

ports=()
for _ in $(seq $modules); do
    line="$(start_sim --tcp 127.0.0.1:0 --no-discovery)"
    ports+=("${line##*:}")
    ports[-1]="${ports[-1]%% *}"
done
printf '127.0.0.1:%s\n' "${ports[@]}" >"$work/modules.txt"
pty="$(start_sim --serial COM5 --baud 9600 --address 1 | awk '{print $5}')"
one="${ports[0]}"

# median_ms COMMAND...: runs it $runs times (its output dropped, its status checked) and prints
# the median wall time in ms.
median_ms() {
    local times=() start end
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        if ! "$@" >/dev/null 2>"$work/err"; then
            echo "cli_vs_mbpoll.sh: failed: $* ($(head -c 200 "$work/err"))" >&2
            exit 1
        fi
        end=$(date +%s%N)
        times+=($(((end - start) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{t[NR]=$1} END {printf "%.1f", t[int((NR+1)/2)]/1000}'
}

mbpoll_tcp() { mbpoll -m tcp -a 1 -t 4 -r 64 -c 5 -1 -p "$1" 127.0.0.1; }
mbpoll_each() { for port in "${ports[@]}"; do mbpoll_tcp "$port"; done; }
cli="$bin/kestrel-cli"

echo "Commands timed (median of $runs runs each):"
cat <<CMDS
  A  $cli --tcp 127.0.0.1:$one --unit 1 params
  B  mbpoll -m tcp -a 1 -t 4 -r 64 -c 5 -1 -p $one 127.0.0.1
  C  $cli --tcp 127.0.0.1:$one params                 (address learnt: the panel's read)
  D  $cli --com COM5 --baud 9600 --unit 1 params       (KESTREL_COM_DIR=<run folder>)
  E  mbpoll -m rtu -b 9600 -P none -a 1 -t 4 -r 64 -c 5 -1 $pty
  F  $cli --tcp @modules.txt --unit 1 params           ($modules modules, one call)
  G  for each of the $modules ports: mbpoll -m tcp -a 1 -t 4 -r 64 -c 5 -1 -p PORT 127.0.0.1
CMDS
a=$(median_ms "$cli" --tcp "127.0.0.1:$one" --unit 1 params)
b=$(median_ms mbpoll_tcp "$one")
c=$(median_ms "$cli" --tcp "127.0.0.1:$one" params)
d=$(median_ms "$cli" --com COM5 --baud 9600 --unit 1 params)
e=$(median_ms mbpoll -m rtu -b 9600 -P none -a 1 -t 4 -r 64 -c 5 -1 "$pty")
f=$(median_ms "$cli" --tcp "@$work/modules.txt" --unit 1 params)
g=$(median_ms mbpoll_each)
echo
echo "| Parameter block of unit 1 | kestrel-cli | mbpoll |"
echo "|---|---|---|"
echo "| 1 module, Modbus TCP on loopback | $a ms (A; $c ms without --unit, C) | $b ms (B) |"
echo "| 1 module, RTU at 9600 baud on a pseudo-terminal | $d ms (D) | $e ms (E) |"
echo "| $modules modules, Modbus TCP on loopback | $f ms in one call (F) | $g ms, called per module (G) |"

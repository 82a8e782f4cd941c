#!/usr/bin/env bash
# Takes the README's three screenshots under Xvfb: the main window connected to a simulated
# network module (relay switched, inputs queried, the module listed by the network search),
# the traffic monitor beside it with the frames of that exchange, and the "Advanced" dialog:
#   xvfb-run -a -s "-screen 0 1920x1080x24" scripts/screenshot.sh docs
# writes docs/main-window.png, docs/traffic-monitor.png and docs/advanced-dialog.png. The panel
# is driven with the keyboard in its tab order, so the pictures do not depend on where the
# controls land.
# Needs xdotool, imagemagick and unshare (apt-get install xvfb xauth xdotool imagemagick).
set -euo pipefail
# The panel's default address is a module on a real network: the pictures are taken in a network
# namespace of the script's own, where only loopback exists, so a keystroke that goes astray
# (Return before the IP was typed) reaches no other machine.
if [ -z "${KESTREL_SCREENSHOT_NETNS:-}" ]; then
  export KESTREL_SCREENSHOT_NETNS=1
  exec unshare -rn sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/docs}")"
bin="$root/build/bin"
export KESTREL_DISCOVERY_SCOPE=loopback

pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; }
trap cleanup EXIT

"$bin/kestrel-sim" --tcp 127.0.0.1:4196 --name "Demo-7310" --di 0101 --ai 512,1023 </dev/null &
pids+=($!)
"$bin/kestrel" &
pids+=($!)

window() {
  local id=""
  for _ in $(seq 50); do
    id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  echo "no window named $1" >&2
  return 1
}
keys() { xdotool key --window "$main" --delay 60 "$@"; sleep 0.5; }
tabs() { for _ in $(seq "$1"); do keys Tab; done; }

main=$(window Quillon)
xdotool windowfocus --sync "$main"
sleep 1
# The traffic monitor, from the context menu (the menu key), set beside the main window.
keys Menu Down Down Return
monitor=$(window Traffic)
xdotool windowmove --sync "$main" 0 0
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool windowsize --sync "$monitor" 1150 360
xdotool windowmove --sync "$monitor" $((WIDTH + 16)) 0
xdotool windowactivate --sync "$main" 2>/dev/null || xdotool windowfocus --sync "$main"
sleep 1
# The focus starts on "Connect"; "Advanced" is disabled until a module answers.
tabs 1                                   # "IP:"
keys ctrl+a
xdotool type --window "$main" --delay 60 127.0.0.1
keys Return                              # Enter connects, as "Connect" does
tabs 2 && keys space                     # "RL1 Closed"
tabs 9 && keys space                     # "query DI"
tabs 1 && keys space                     # "query AI"
tabs 2 && keys space                     # network "Search"
sleep 2
import -window "$main" "$out/main-window.png"
import -window "$monitor" "$out/traffic-monitor.png"

# "Protocol:" is disabled while connected; on to "Address:", "Com:", "Open", "Connect", "Advanced".
tabs 5 && keys space
advanced=$(window Advanced)
sleep 1
import -window "$advanced" "$out/advanced-dialog.png"
xdotool key Escape                       # the panel ends on SIGTERM once no dialog is open over it
sleep 0.5

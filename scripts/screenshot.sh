#!/usr/bin/env bash
# Takes a screenshot of the panel's main window under Xvfb:
#   xvfb-run -a -s "-screen 0 1280x1024x24" scripts/screenshot.sh docs/main-window.png
# Needs xdotool and imagemagick (apt-get install xdotool imagemagick).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "$1")"
KESTREL_DISCOVERY_SCOPE=loopback "$root/build/bin/kestrel" &
pid=$!
window=""
for _ in $(seq 50); do
  window=$(xdotool search --name Quillon 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  sleep 0.2
done
sleep 1
import -window "$window" "$out"
kill -TERM "$pid"
wait "$pid"

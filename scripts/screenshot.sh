#!/usr/bin/env bash
# Opens the built panel in a virtual X server and, as a user would, types a
# formula (and a peak position), presses Return to search and selects the
# first hit; then saves a picture of the window:
#   scripts/screenshot.sh [OUTPUT.png] [FORMULA] [PEAK]
# It uses a preferences folder of its own, so the user's settings stay as they
# are; the index is $ORVANE_INDEX or the default one.
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-docs/panel.png}
formula=${2:-}
peak=${3:-}
mkdir -p "$(dirname "$output")"

work=$(mktemp -d)
trap 'kill "${panel:-0}" "${server:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1100x920x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb build/bin/orvane >/dev/null 2>&1 &
panel=$!
window=
for _ in $(seq 100); do
  window=$(xdotool search --name '^Orvane$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "screenshot: the panel did not open" >&2; exit 1; }
xdotool windowmove "$window" 0 0 windowsize "$window" 1080 880
sleep 1
if [ -n "$formula" ]; then
  # Without a window manager: focus by clicking into the formula field.
  xdotool mousemove --window "$window" 800 70 click 1
  sleep 0.3
  xdotool type --delay 40 "$formula"
  if [ -n "$peak" ]; then
    xdotool mousemove --window "$window" 270 220 click 1
    sleep 0.3
    xdotool type --delay 40 "$peak"
  fi
  xdotool key Return
  sleep 1.5
  # The first row of the result list, below its header.
  xdotool mousemove --window "$window" 120 364 click 1
  sleep 0.8
fi
import -window "$window" "$output"
echo "$output"

#!/usr/bin/env bash
# Takes the screenshots in docs/ (the settings window and the About window) under Xvfb, with Orvel
# connected to the bridge simulator. Orvel saves its own windows (ORVEL_SCREENSHOT_DIR), so no
# screen-grabbing tool is needed.
#
#   scripts/screenshots.sh [BUILD_DIR]     BUILD_DIR defaults to build/
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (Debian: xvfb xauth)" >&2; exit 1; }
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target orvel orvel-bridge-sim

work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-screenshots.XXXXXX")
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    # Orvel is not a child of this shell; wait for it by polling.
    for _ in $(seq 50); do
      kill -0 "${pids[i]}" 2>/dev/null || break
      sleep 0.1
    done
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

user="orvelshots0123456789"
"$build/tools/bridge-sim/orvel-bridge-sim" --host 127.0.0.1 --port 0 --user "$user" >"$work/sim.log" 2>&1 &
pids+=($!)
address=""
for _ in $(seq 100); do
  address=$(sed -n 's|^orvel-bridge-sim listening on http://||p' "$work/sim.log" | head -n 1)
  [ -n "$address" ] && break
  sleep 0.1
done
[ -n "$address" ] || { echo "screenshots: the bridge simulator did not start" >&2; cat "$work/sim.log" >&2; exit 1; }

# A first launch (so About opens) with two rules in use.
mkdir -p "$work/config/Orvel" "$work/data" "$work/shots"
cat >"$work/config/Orvel/preferences.json" <<JSON
{
  "hue_username": "$user",
  "global_toggle": true,
  "rule_count": 2,
  "0light_index": 0, "0on_hue": 46000, "0on_saturation": 200, "0on_value": 230, "0on_on": true,
  "1light_index": 2, "1on_hue": -1, "1on_saturation": 255, "1on_value": 160, "1on_on": true
}
JSON

HOME="$work" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work" \
  ORVEL_MIDI_API=none ORVEL_NEWS_URL="http://$address" ORVEL_SCREENSHOT_DIR="$work/shots" \
  xvfb-run -a -s "-screen 0 1280x800x24" \
  bash -c 'echo $$ >"$0/orvel.pid"; exec "$1" --bridge "$2"' "$work" "$build/orvel" "$address" >"$work/orvel.log" 2>&1 &
pids+=($!)
# xvfb-run does not pass signals on: Orvel itself is stopped first, then xvfb-run ends with it.
for _ in $(seq 50); do
  [ -s "$work/orvel.pid" ] && break
  sleep 0.1
done
[ -s "$work/orvel.pid" ] && pids+=("$(cat "$work/orvel.pid")")

for _ in $(seq 300); do
  [ -f "$work/shots/screenshot-settings.png" ] && [ -f "$work/shots/screenshot-about.png" ] &&
    [ -f "$work/shots/screenshot-bridge.png" ] && break
  sleep 0.1
done
if [ ! -f "$work/shots/screenshot-settings.png" ] || [ ! -f "$work/shots/screenshot-about.png" ]; then
  echo "screenshots: Orvel saved no screenshots; its output:" >&2
  cat "$work/orvel.log" >&2
  exit 1
fi
mkdir -p docs
cp "$work/shots/"screenshot-*.png docs/
echo "screenshots: wrote" $(cd "$work/shots" && ls screenshot-*.png | sed 's|^|docs/|')

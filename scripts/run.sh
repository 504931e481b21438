#!/usr/bin/env bash
# Installs what Orvel needs, builds it and starts it.
#
#   scripts/run.sh                        try Orvel without a Hue bridge: a simulated bridge
#                                         (already paired, four lights) runs beside it
#   scripts/run.sh --bridge HOST[:PORT]   use the real bridge at HOST
#   scripts/run.sh --discover             search the local network for a real bridge
#
# The simulated-bridge demo keeps its settings, log and autostart entry in build/demo-home, so it
# never touches (or is touched by) your real Orvel settings. With a real bridge Orvel uses your own
# settings, as when it is started from the desktop menu.
#
# Where no MIDI system runs (no ALSA sequencer, no JACK server) a JACK server on the dummy backend
# is started for the session. Ctrl-C quits Orvel (switching the lights back) and stops everything
# this script started.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=demo
bridge=""
case "${1:-}" in
  "") ;;
  --bridge)
    [ $# -ge 2 ] || { echo "usage: $0 [--bridge HOST[:PORT] | --discover]" >&2; exit 2; }
    mode=bridge; bridge=$2 ;;
  --bridge=*) mode=bridge; bridge=${1#--bridge=} ;;
  --discover) mode=discover ;;
  -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [--bridge HOST[:PORT] | --discover]" >&2; exit 2 ;;
esac

# The build directory (relative to the repository, or absolute); build/ unless ORVEL_BUILD_DIR says.
build=${ORVEL_BUILD_DIR:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

bash scripts/install-deps.sh
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" >/dev/null # keeps the configuration the directory has
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
targets=(orvel orvel-bridge-sim)
if cmake --build "$build" --target help | grep -q '^orvel-midi-send:'; then
  targets+=(orvel-midi-send)
fi
cmake --build "$build" --target "${targets[@]}"

# Everything started here runs in a session of its own, so that Ctrl-C reaches only this script,
# which then stops the processes newest first: Orvel switches the lights back while the simulated
# bridge and the MIDI server are still there.
started=()
start() {
  setsid "$@" &
  started+=($!)
}
cleanup() {
  local i pid
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    pid=${started[i]}
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs Orvel until it quits by itself ("Quit Orvel") or the script is stopped.
run_orvel() {
  start "$build/orvel" "$@"
  local status=0
  wait "${started[-1]}" || status=$?
  started=("${started[@]:0:${#started[@]}-1}")
  return "$status"
}

# A window needs a display; without one Orvel still runs and follows MIDI, just unseen.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display found; Orvel runs without a window (QT_QPA_PLATFORM=offscreen)"
  export QT_QPA_PLATFORM=offscreen
fi

# MIDI: the ALSA sequencer when the machine has one, else a JACK server (a running one, or one of
# our own on the dummy backend under the default name, so other programs find it).
jack_running() { JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1; }
if [ -n "${ORVEL_MIDI_API:-}" ]; then
  :
elif [ -r /dev/snd/seq ] && [ -w /dev/snd/seq ]; then
  export ORVEL_MIDI_API=alsa
elif jack_running; then
  export ORVEL_MIDI_API=jack
elif command -v jackd >/dev/null 2>&1; then
  echo "run: no MIDI system running; starting a JACK server (dummy backend) for this session"
  start env JACK_NO_AUDIO_RESERVATION=1 jackd -r -d dummy -r 48000 -p 256 >"$build/jackd.log" 2>&1
  for _ in $(seq 100); do
    jack_running && break
    sleep 0.1
  done
  jack_running || { echo "run: the JACK server did not start; see $build/jackd.log" >&2; exit 1; }
  export ORVEL_MIDI_API=jack
fi

case "$mode" in
  bridge)
    run_orvel --bridge "$bridge"
    exit $?
    ;;
  discover)
    run_orvel
    exit $?
    ;;
esac

# The demo: a simulated bridge on the loopback address with a user that is already paired.
demo="$build/demo-home"
user="orveldemo0123456789"
mkdir -p "$demo/config/Orvel" "$demo/data"
export XDG_CONFIG_HOME="$demo/config"
export XDG_DATA_HOME="$demo/data"
prefs="$XDG_CONFIG_HOME/Orvel/preferences.json"
if ! grep -q '"hue_username"' "$prefs" 2>/dev/null; then
  # Two rules to start from: the colour lamp "Desk" turns red, the plug "Amplifier" switches on.
  cat >"$prefs" <<JSON
{
  "hue_username": "$user",
  "rule_count": 2,
  "0light_index": 0, "0on_hue": 0, "0on_saturation": 254, "0on_value": 254, "0on_on": true,
  "1light_index": 3, "1on_on": true
}
JSON
  chmod 600 "$prefs"
fi

simlog="$demo/bridge-sim.log"
: >"$simlog"
start "$build/tools/bridge-sim/orvel-bridge-sim" --host 127.0.0.1 --port 0 --user "$user" >"$simlog" 2>&1
address=""
for _ in $(seq 100); do
  address=$(sed -n 's|^orvel-bridge-sim listening on http://||p' "$simlog" | head -n 1)
  [ -n "$address" ] && break
  kill -0 "${started[-1]}" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$address" ]; then
  echo "run: the bridge simulator did not start:" >&2
  cat "$simlog" >&2
  exit 1
fi

echo "run: simulated Hue bridge at $address (its requests are logged in $simlog)"
echo "run: settings and log of this demo are in $demo"
if [ -x "$build/tools/midi-send/orvel-midi-send" ]; then
  echo "run: switch the lights on from another terminal with"
  echo "       $build/tools/midi-send/orvel-midi-send 0x9F 95 127    (0x9F 95 0 switches them back)"
fi
run_orvel --bridge "$address"

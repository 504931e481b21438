#!/usr/bin/env bash
# Starts Orvel on a Wayland compositor with no X server beside it (weston's headless backend) and
# checks that it comes up on the wayland platform plugin and quits cleanly on SIGTERM.
#
#   wayland-smoke.sh PATH_TO_ORVEL
set -euo pipefail
orvel=$1

work=$(mktemp -d)
chmod 700 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $1 tenths of a second for the command after it to succeed.
waitFor() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  "$@"
}

export XDG_RUNTIME_DIR=$work
weston --backend=headless-backend.so --socket=orvel-smoke --idle-time=0 >"$work/weston.log" 2>&1 &
pids+=($!)
if ! waitFor 100 test -S "$work/orvel-smoke"; then
  echo "wayland-smoke: weston did not start:" >&2
  cat "$work/weston.log" >&2
  exit 1
fi

# No X server to fall back on, and nothing sent anywhere but loopback.
mkdir -p "$work/home"
env -u DISPLAY WAYLAND_DISPLAY=orvel-smoke QT_QPA_PLATFORM=wayland HOME="$work/home" \
  XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" ORVEL_MIDI_API=none \
  ORVEL_DISCOVERY_URL=http://127.0.0.1:9/ ORVEL_NEWS_URL=http://127.0.0.1:9/ \
  "$orvel" >"$work/orvel.log" 2>&1 &
orvelPid=$!
pids=("$orvelPid" "${pids[@]}")
if ! waitFor 200 grep -q '^midi set up' "$work/orvel.log"; then
  echo "wayland-smoke: Orvel did not come up:" >&2
  cat "$work/orvel.log" >&2
  exit 1
fi
kill -TERM "$orvelPid"
status=0
wait "$orvelPid" || status=$?
cat "$work/orvel.log"
if [ "$status" -ne 0 ] || ! grep -q '^bai' "$work/orvel.log"; then
  echo "wayland-smoke: Orvel did not quit cleanly (exit status $status)" >&2
  exit 1
fi
echo "wayland-smoke: Orvel came up on Wayland and quit cleanly"

#!/usr/bin/env bash
# Starts Orvel on a Wayland compositor with no X server beside it (weston's headless backend) and
# checks that it comes up on the wayland platform plugin and quits cleanly on SIGTERM.
#
#   wayland-smoke.sh PATH_TO_ORVEL
set -euo pipefail
name=wayland-smoke
orvel=$1
source "$(dirname "$0")/desktop-lib.sh"

export XDG_RUNTIME_DIR=$work
weston --backend=headless-backend.so --socket=orvel-smoke --idle-time=0 >"$work/weston.log" 2>&1 &
pids+=($!)
if ! waitFor 100 test -S "$work/orvel-smoke"; then
  echo "wayland-smoke: weston did not start:" >&2
  cat "$work/weston.log" >&2
  exit 1
fi

# No X server to fall back on.
orvelEnv=(-u DISPLAY WAYLAND_DISPLAY=orvel-smoke QT_QPA_PLATFORM=wayland)
startOrvel
quit
cat "$work/orvel.log"
echo "wayland-smoke: Orvel came up on Wayland and quit cleanly"

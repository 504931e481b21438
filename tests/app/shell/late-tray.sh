#!/usr/bin/env bash
# An XEmbed tray (trayer) that comes up after Orvel, under Xvfb: a --login start hides its window
# into the tray once it appears and shows it again when the tray goes away; a plain start keeps
# its window on screen.
#
#   late-tray.sh PATH_TO_ORVEL
set -euo pipefail
orvel=$1

work=$(mktemp -d)
pids=()
stop() { kill -TERM "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
  rm -rf "$work"
}
trap cleanup EXIT

waitFor() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  "$@"
}
said() { grep -q "^$1" "$work/orvel.log"; }
fail() {
  echo "late-tray: $1" >&2
  cat "$work/orvel.log" >&2
  exit 1
}

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
waitFor 100 test -s "$work/display" || { cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

# One run of Orvel with its own home; no session bus, so the tray can only be XEmbed.
run() {
  rm -rf "$work/home"
  mkdir -p "$work/home"
  env -u DBUS_SESSION_BUS_ADDRESS -u ORVEL_ASSUME_TRAY QT_QPA_PLATFORM=xcb HOME="$work/home" \
    XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" ORVEL_MIDI_API=none \
    ORVEL_DISCOVERY_URL=http://127.0.0.1:9/ ORVEL_NEWS_URL=http://127.0.0.1:9/ \
    "$orvel" "$@" >"$work/orvel.log" 2>&1 &
  orvelPid=$!
  pids+=("$orvelPid")
  waitFor 200 said 'midi set up' || fail "Orvel did not come up"
  said 'no system tray on this desktop' || fail "a tray was there before trayer"
}
startTray() {
  trayer --expand false --widthtype pixel --width 64 --height 24 >"$work/trayer.log" 2>&1 &
  trayPid=$!
  pids+=("$trayPid")
}
quit() {
  kill -TERM "$orvelPid"
  local status=0
  wait "$orvelPid" || status=$?
  [ "$status" -eq 0 ] && said bai || fail "Orvel did not quit cleanly ($status)"
}

run --login
startTray
waitFor 100 said 'a system tray appeared' || fail "the tray was not seen"
said 'hiding into the tray' || fail "a login start stayed on screen"
# Qt's icon window sits in trayer's panel.
docked() { xwininfo -root -tree | grep -A4 '"panel": ("panel" "trayer")' | grep -q '"Orvel"'; }
waitFor 100 docked || fail "the icon is not in the tray"
stop "$trayPid"
waitFor 100 said 'the system tray went away' || fail "the tray's end was not seen"
said unhiding || fail "the window stayed hidden without a tray"
quit
echo "late-tray: --login start: hidden into the late tray, shown again when it went away"

run
startTray
waitFor 100 said 'a system tray appeared' || fail "the tray was not seen"
! said 'hiding into the tray' || fail "a plain start hid its window"
stop "$trayPid"
quit
echo "late-tray: plain start: the window stayed on screen"

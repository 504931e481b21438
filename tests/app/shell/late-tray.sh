#!/usr/bin/env bash
# Tray hosts that come up after Orvel, under Xvfb: a --login start ends hidden in the tray, a plain
# start keeps its window on screen.
#  - an XEmbed tray (trayer): the icon docks in it, and the window comes back when it goes away;
#  - a StatusNotifierItem host (gtk-sni-tray-standalone with its own watcher, on a session bus
#    of the test's own): Orvel starts itself again, and its item is registered with the watcher.
#
#   late-tray.sh PATH_TO_ORVEL
set -euo pipefail
name=late-tray
orvel=$1
source "$(dirname "$0")/desktop-lib.sh"
startXvfb

run() {
  startOrvel "$@"
  said 'no system tray on this desktop' || fail "a tray was there before the test's"
}
startTray() {
  trayer --expand false --widthtype pixel --width 64 --height 24 >"$work/trayer.log" 2>&1 &
  trayPid=$!
  pids+=("$trayPid")
}
# Whether the settings window is on screen.
shown() {
  local id
  id=$(xwininfo -root -tree | awk '/"Orvel": \("orvel"/ { print $1; exit }')
  [ -n "$id" ] && xwininfo -id "$id" | grep -q IsViewable
}

# No session bus: the tray can only be XEmbed.
orvelEnv=(-u DBUS_SESSION_BUS_ADDRESS -u ORVEL_ASSUME_TRAY QT_QPA_PLATFORM=xcb)
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
echo "late-tray: XEmbed, --login start: hidden into the late tray, shown again when it went away"

run
startTray
waitFor 100 said 'a system tray appeared' || fail "the tray was not seen"
! said 'hiding into the tray' || fail "a plain start hid its window"
stop "$trayPid"
quit
echo "late-tray: XEmbed, plain start: the window stayed on screen"

dbus-daemon --session --nofork --print-address=3 3>"$work/bus" >/dev/null 2>&1 &
pids+=($!)
waitFor 100 test -s "$work/bus" || fail "the session bus did not start"
export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
orvelEnv=(-u ORVEL_ASSUME_TRAY QT_QPA_PLATFORM=xcb)
hostRegistered() {
  dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:IsStatusNotifierHostRegistered 2>/dev/null | grep -q 'boolean true'
}
# The host starts its watcher on a thread of its own and exits when it asks that watcher before
# it answers (more likely on a loaded machine): then it is started again, a new watcher for Orvel.
startHost() {
  local try
  command -v gtk-sni-tray-standalone >/dev/null || fail "no gtk-sni-tray-standalone: run scripts/install-deps.sh"
  for try in 1 2 3; do
    NO_AT_BRIDGE=1 gtk-sni-tray-standalone --watcher --bottom >"$work/host.log" 2>&1 &
    hostPid=$!
    pids+=("$hostPid")
    for _ in $(seq 200); do
      kill -0 "$hostPid" 2>/dev/null || break
      hostRegistered && return 0
      sleep 0.1
    done
    stop "$hostPid"
  done
  cat "$work/host.log" >&2
  fail "the tray host did not start"
}
# The host's watcher lists an item (a bus name, maybe with a path) of Orvel's process.
registered() {
  local item
  for item in $(dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
    /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:RegisteredStatusNotifierItems | grep -o 'string "[^"/]*' | cut -d '"' -f 2); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
      org.freedesktop.DBus.GetConnectionUnixProcessID "string:$item" 2>/dev/null |
      grep -q "uint32 $orvelPid\$" && return 0
  done
  return 1
}
restarted() {
  waitFor 300 said 'starting Orvel again' || fail "Orvel did not start again for the new tray"
  waitFor 200 saidTimes 'midi set up' 2 || fail "Orvel did not come back"
  waitFor 100 registered || fail "no item of Orvel's in the tray"
}

run --login
startHost
restarted
said 'was launched by auto-launcher, hiding' && ! shown || fail "a login start stayed on screen"
quit
saidTimes 'starting Orvel again' 1 || fail "Orvel started again more than once"
stop "$hostPid"
echo "late-tray: StatusNotifierItem, --login start: started again, hidden, its item in the tray"

run
startHost
restarted
waitFor 100 shown || fail "a plain start's window is not on screen after starting again"
quit
stop "$hostPid"
echo "late-tray: StatusNotifierItem, plain start: started again, the window on screen"

# Sourced by the desktop tests: a private work folder, the processes they start stopped (last
# first) at exit, and Orvel run with a home of its own that sends nothing beyond loopback.
# The sourcing script sets `name` and `orvel`, and `orvelEnv` (env arguments) for each run.
work=$(mktemp -d)
chmod 700 "$work"
pids=()
stop() { kill -TERM "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
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
said() { grep -q "^$1" "$work/orvel.log"; }
saidTimes() { [ "$(grep -c "^$1" "$work/orvel.log")" -eq "$2" ]; }
fail() {
  echo "$name: $1" >&2
  cat "$work/orvel.log" >&2
  exit 1
}

startXvfb() {
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  pids+=($!)
  waitFor 100 test -s "$work/display" || { cat "$work/xvfb.log" >&2; exit 1; }
  export DISPLAY=":$(cat "$work/display")"
}

# Starts Orvel with ARGS and waits until it is up; its output goes to $work/orvel.log.
startOrvel() {
  rm -rf "$work/home"
  mkdir -p "$work/home"
  env "${orvelEnv[@]}" HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
    XDG_DATA_HOME="$work/home/data" ORVEL_MIDI_API=none ORVEL_DISCOVERY_URL=http://127.0.0.1:9/ \
    ORVEL_NEWS_URL=http://127.0.0.1:9/ "$orvel" "$@" >"$work/orvel.log" 2>&1 &
  orvelPid=$!
  pids+=("$orvelPid")
  waitFor 200 said 'midi set up' || fail "Orvel did not come up"
}

# SIGTERM, then a clean end: exit status 0 and one more "bai".
quit() {
  local before status=0
  before=$(grep -c '^bai' "$work/orvel.log" || true)
  kill -TERM "$orvelPid"
  wait "$orvelPid" || status=$?
  [ "$status" -eq 0 ] && saidTimes bai $((before + 1)) || fail "Orvel did not quit cleanly ($status)"
}

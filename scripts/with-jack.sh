#!/usr/bin/env bash
# Runs a command with a JACK server of its own, for the MIDI end-to-end tests:
#   scripts/with-jack.sh ctest --test-dir build
# The server runs on the dummy backend (no sound hardware needed) under a private name, which the
# command finds through JACK_DEFAULT_SERVER; it is stopped again when the command ends. A private
# server keeps the tests away from a JACK session already running on the machine, where another
# "Orvel" (the real application, or another test run) could take the test's messages and switch
# real lights. Only when jackd is missing is an already running server used as it is; with
# neither the command runs as it is, and the tests that need JACK skip.
set -u

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi

server_running() {
  # jack_lsp exits non-zero when it cannot reach the server; it never starts one by itself
  # because the server is not configured to autostart here (JACK_NO_START_SERVER).
  JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1
}

if ! command -v jack_lsp >/dev/null 2>&1 || ! command -v jackd >/dev/null 2>&1; then
  echo "with-jack: jackd or jack_lsp not installed (Debian: jackd2); running without a server of our own" >&2
  exec "$@"
fi

# Nested use: the private server of an outer with-jack.sh is already in place.
case "${JACK_DEFAULT_SERVER:-}" in
  orvel-test-*) if server_running; then exec "$@"; fi ;;
esac

log="$(mktemp "${TMPDIR:-/tmp}/with-jack.XXXXXX.log")"
jackd_pid=""

stop_server() {
  if [ -n "$jackd_pid" ] && kill -0 "$jackd_pid" 2>/dev/null; then
    kill -TERM "$jackd_pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$jackd_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$jackd_pid" 2>/dev/null
  fi
  [ -n "$jackd_pid" ] && wait "$jackd_pid" 2>/dev/null
  rm -f "$log"
}
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Starts a server named $1; true once a client gets through, false when it gave up.
start_server() {
  export JACK_DEFAULT_SERVER="$1"
  # A name another run is using is not ours to share: that run stops its server when it ends,
  # in the middle of our tests.
  server_running && return 1
  # -r before -d: no realtime scheduling (containers and plain users rarely may have it).
  # JACK_NO_AUDIO_RESERVATION: do not ask the session bus for the sound card; there is none.
  # The dummy backend runs on a timer, and when a busy machine misses cycles an asynchronous
  # server loses or repeats MIDI events: -S (synchronous) waits for the clients, and -p 1024
  # gives them time enough to miss few cycles at all.
  JACK_NO_AUDIO_RESERVATION=1 jackd -n "$1" -S -r -d dummy -r 48000 -p 1024 >"$log" 2>&1 &
  jackd_pid=$!
  for _ in $(seq 100); do # at most about 10 s
    kill -0 "$jackd_pid" 2>/dev/null || return 1
    # A server that answers while ours is still alive is ours (a second jackd of a taken name
    # gives up at once).
    server_running && kill -0 "$jackd_pid" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# JACK keeps a table of at most eight servers, and reclaims the entry of a server that died
# without signing off only when one of the same name starts: so the names come from a small
# pool (a busy name is skipped), never a new one per run that would fill the table for good.
# With no server running at all, every entry of the table is stale (servers of other names that
# died): JACK makes a new table when there is none.
# Our own test servers' leftover segments go too.
if ! pgrep -x jackd >/dev/null; then
  rm -f /dev/shm/jack-shm-registry /dev/shm/jack_orvel-*
fi
ready=0
for n in 0 1 2 3 4 5 6 7; do
  if start_server "orvel-test-$n"; then
    ready=1
    break
  fi
done

if [ "$ready" -ne 1 ]; then
  echo "with-jack: the JACK server did not start; its output:" >&2
  cat "$log" >&2
  exit 1
fi

"$@"

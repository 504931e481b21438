#!/usr/bin/env bash
# Runs the fault soak for MINUTES (10 by default): the real controller and bridge client against
# the simulated bridge, cycling the lights on and off through rate limiting, garbage answers,
# slow answers, reset connections, unreachable lights and a restart of the bridge. It ends with a
# summary line (cycles, faults injected, mismatches, resident memory) and fails on any mismatch,
# a request left pending or memory that kept growing. CI runs the short version with the tests.
#
#   scripts/soak.sh [MINUTES]
set -euo pipefail

minutes=${1:-10}
if ! [[ $minutes =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ]; then
  echo "usage: scripts/soak.sh [MINUTES]   (a whole number of minutes, at least 1)"
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target soak_controller_test
# Only the summary and failures; the controller's own messages go to soak.log.
log=build/soak.log
set +e
# Qt Test stops a test function after five minutes unless told otherwise (milliseconds).
QT_QPA_PLATFORM=offscreen ORVEL_SOAK_SECONDS=$((minutes * 60)) QTEST_FUNCTION_TIMEOUT=$(((minutes * 60 + 600) * 1000)) \
  build/tests/controller/soak_controller_test >"$log" 2>&1
status=$?
set -e
grep -E 'soak:|FAIL|QWARN|Loc:|Actual|Expected' "$log" || true
echo "soak.sh: full output in $log"
exit "$status"

#!/usr/bin/env bash
# Installs what is needed, builds Orvel and runs the whole test suite twice: once as built for
# users, once under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer; then runs the
# fuzz targets briefly. Any failure or sanitizer report fails the run.
#
#   scripts/test.sh            everything
#   scripts/test.sh -L e2e     only tests with that CTest label (arguments go to ctest)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
export QT_QPA_PLATFORM=offscreen
# Tests that need MIDI use JACK: force it so they never reach a desktop's ALSA sequencer.
export ORVEL_MIDI_API=jack

run_suite() {
  local dir=$1
  shift
  local log="$dir/ctest.log"
  set +e
  bash scripts/with-jack.sh ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    echo "test.sh: tests failed in $dir"
    return "$status"
  fi
  if grep -qE 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' "$log"; then
    echo "test.sh: sanitizer report in $dir"
    return 1
  fi
}

echo "== build (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
echo "== tests"
run_suite build "$@"

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVEL_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
echo "== tests under sanitizers"
# Leaks are checked too; the only suppressions are for named system libraries, each with its reason.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$root/scripts/lsan-suppressions.txt:print_suppressions=0 \
  run_suite build-sanitize "$@"

# Every fuzz target for a fixed number of inputs from its seeds (scripts/fuzz.sh runs them longer).
# Only for the whole run: arguments select tests, and the fuzz targets are not CTest tests.
if [ $# -eq 0 ]; then
  echo "== fuzz targets (clang, libFuzzer)"
  bash scripts/fuzz.sh --runs 4000
fi

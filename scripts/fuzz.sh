#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (in build-fuzz) and runs each of them.
#
#   scripts/fuzz.sh            each target for 60 seconds
#   scripts/fuzz.sh SECONDS    each target for that long
#   scripts/fuzz.sh --runs N   each target for N executions (what CI does)
#
# New inputs are kept in build-fuzz/corpus/<target> (the committed seeds in fuzz/corpus stay as
# they are); an input that breaks a property or crashes is saved in build-fuzz/findings/ and
# fails the run. The last lines of each run (executions, coverage) are printed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

limit=(-max_total_time=60)
case "${1:-}" in
  --runs) limit=(-runs="${2:?--runs needs a number}") ;;
  '') ;;
  *) limit=(-max_total_time="$1") ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEL_FUZZ=ON -DORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzzers

mkdir -p build-fuzz/findings
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  work=build-fuzz/corpus/$target
  mkdir -p "$work"
  echo "== $target"
  # -close_fd_mask=1: the program's diagnostics on standard output would only slow the run.
  if ! "build-fuzz/fuzz/$target" "${limit[@]}" -close_fd_mask=1 -max_len=4096 -timeout=10 \
      -artifact_prefix="build-fuzz/findings/$target-" -print_final_stats=1 \
      "$work" "$seeds" >"build-fuzz/$target.log" 2>&1; then
    tail -n 40 "build-fuzz/$target.log"
    echo "fuzz.sh: $target failed; the input is in build-fuzz/findings/"
    status=1
    continue
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|peak_rss_mb)' "build-fuzz/$target.log" || true
done
exit $status

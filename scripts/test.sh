#!/bin/sh
# Sets up the machine, builds and runs the whole test suite in each preset of MANUVIA_PRESETS
# (default "release asan tsan": optimised, AddressSanitizer with UndefinedBehaviorSanitizer,
# ThreadSanitizer; every build replays the fuzz corpora). Extra arguments go to ctest (for
# example: -L glovelink).
#
# A preset's tests run while the next preset builds: most tests wait on real time (serial
# pacing, time-outs), so the build, at lower priority, uses what they leave. A failed test is
# run a second time before it counts as failed; the summary names every test that failed at
# all. Each test run's output goes to build/<preset>/ctest.log and is printed when it ends;
# the summary and the output of every failed test come last.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/check-format.sh

begin=$(date +%s)
summary=""
failed=""
testing=""      # preset whose tests run in the background
testing_pid=""

finish_tests() {
  [ -n "$testing" ] || return 0
  if wait "$testing_pid"; then
    result="passed"
  else
    result="FAILED"
    failed="$failed $testing"
  fi
  cat "build/$testing/ctest.log"
  summary="$summary
$testing: tests $result in $(($(date +%s) - tests_start)) s"
  # A test that fails is run once more (timing on a loaded machine); it is named here either way.
  again=$(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*[EFNT].*/\1/p' \
    "build/$testing/ctest.log" | sort -u | tr '\n' ' ')
  [ -z "$again" ] || summary="$summary
$testing: failed at least once: $again"
  testing=""
}

for preset in ${MANUVIA_PRESETS:-release asan tsan}; do
  start=$(date +%s)
  cmake --preset "$preset"
  if ! nice -n 10 cmake --build --preset "$preset"; then
    finish_tests
    echo "$preset: build failed" >&2
    exit 1
  fi
  summary="$summary
$preset: built in $(($(date +%s) - start)) s"
  finish_tests
  tests_start=$(date +%s)
  ctest --preset "$preset" --repeat until-pass:2 "$@" >"build/$preset/ctest.log" 2>&1 &
  testing=$preset
  testing_pid=$!
done
finish_tests

echo "===== summary$summary
all: $(($(date +%s) - begin)) s"
for preset in $failed; do
  # A long run's log loses its middle: repeat what each failed test printed, at the end.
  log=build/$preset/Testing/Temporary
  [ -f "$log/LastTestsFailed.log" ] || continue
  while IFS=: read -r _ name; do
    echo "===== $preset: output of failed test $name"
    awk -v t="$name" '{ l = $0 } sub(/^[0-9]+\/[0-9]+ Test: /, "", l) && l == t { on = 1; next }
                      on && /^<end of output>/ { exit }
                      on' "$log/LastTest.log" | tail -n 80
  done <"$log/LastTestsFailed.log"
done
[ -z "$failed" ]

#!/bin/sh
# Sets up the machine, builds and runs the whole test suite in each preset of MANUVIA_PRESETS
# (default "release"; "release asan tsan" adds the AddressSanitizer and ThreadSanitizer runs,
# each replaying the fuzz corpora). Extra arguments go to ctest (for example: -L glovelink).
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/check-format.sh
for preset in ${MANUVIA_PRESETS:-release}; do
  start=$(date +%s)
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  if ! ctest --preset "$preset" "$@"; then
    # A long run's log loses its middle: repeat what each failed test printed, at the end.
    log=build/$preset/Testing/Temporary
    while IFS=: read -r _ name; do
      echo "===== $preset: output of failed test $name"
      awk -v t="$name" '{ l = $0 } sub(/^[0-9]+\/[0-9]+ Test: /, "", l) && l == t { on = 1; next }
                        on && /^<end of output>/ { exit }
                        on' "$log/LastTest.log" | tail -n 80
    done <"$log/LastTestsFailed.log"
    exit 1
  fi
  echo "$preset: built and tested in $(($(date +%s) - start)) s"
done

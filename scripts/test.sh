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
  ctest --preset "$preset" "$@"
  echo "$preset: built and tested in $(($(date +%s) - start)) s"
done

#!/bin/sh
# Sets up the machine, builds the release preset and runs the whole test suite.
# Extra arguments go to ctest (for example: -L glovelink).
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/check-format.sh
cmake --preset release
cmake --build --preset release
exec ctest --preset release "$@"

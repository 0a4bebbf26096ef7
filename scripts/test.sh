#!/bin/sh
# Sets up the machine, builds the release preset and runs the whole test suite.
# Extra arguments go to ctest (for example: -L glovelink).
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/check-format.sh
cmake --preset release
cmake --build --preset release
# GUI tests need a display; one virtual server serves the whole run.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1600x1200x24" ctest --preset release "$@"
fi
exec ctest --preset release "$@"

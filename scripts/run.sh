#!/bin/sh
# Sets up the machine, builds, and runs the main job on the simulated glove:
# glovesim on a pseudo-terminal, streamed by glovectl.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
BIN=build/release/bin

LINK="${TMPDIR:-/tmp}/glovesim-$$"
"$BIN/glovesim" --link "$LINK" &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null' EXIT INT TERM
i=0
while [ ! -e "$LINK" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
"$BIN/glovectl" --serial "$LINK" info
exec "$BIN/glovectl" --serial "$LINK" stream --frames "${FRAMES:-300}"

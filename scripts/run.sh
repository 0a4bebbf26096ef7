#!/bin/sh
# Sets up the machine, builds, and runs the main job on the simulated glove: glovesim on a
# pseudo-terminal and palmdesk connected to it, streaming. Without a display it says so and
# streams with the command-line client instead.
#   SKIP_BUILD=1  use the programs already in $BIN (default build/release/bin)
set -eu
cd "$(dirname "$0")/.."

BIN="${BIN:-build/release/bin}"
if [ -z "${SKIP_BUILD:-}" ]; then
  ./scripts/install-deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release
fi

LINK="${TMPDIR:-/tmp}/glovesim-$$"
"$BIN/glovesim" --link "$LINK" &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null' EXIT INT TERM
i=0
while [ ! -e "$LINK" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$BIN/palmdesk" --port "$LINK" --connect --stream
  exit 0
fi
echo "palmdesk: no display (DISPLAY is not set); streaming with glovectl instead." >&2
"$BIN/glovectl" --serial "$LINK" info
"$BIN/glovectl" --serial "$LINK" stream --frames "${FRAMES:-300}"

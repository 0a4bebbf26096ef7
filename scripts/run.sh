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
# A small card for the simulated glove, so the file list, set-active and download work at once.
CARD="$(mktemp -d "${TMPDIR:-/tmp}/glovesim-card.XXXXXX")"
printf 'DEFAULT HEADER\r\n' > "$CARD/default.txt"
i=1
while [ $i -le 20 ]; do
  printf '12:00:%02d:0:00 take one, line %d\r\n' $i $i >> "$CARD/take01.txt"
  printf '12:05:%02d:0:00 take two, line %d\r\n' $i $i >> "$CARD/take02.txt"
  i=$((i + 1))
done
printf 'warm-up session: open and close the hand five times\r\n' > "$CARD/warmup.txt"
"$BIN/glovesim" --link "$LINK" --sdcard "$CARD" &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null; rm -rf "$CARD"' EXIT INT TERM
i=0
while [ ! -e "$LINK" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$BIN/palmdesk" --port "$LINK" --connect --stream
  exit 0
fi
echo "palmdesk: no display (DISPLAY is not set); streaming with glovectl instead." >&2
"$BIN/glovectl" --serial "$LINK" info
"$BIN/glovectl" --serial "$LINK" files
"$BIN/glovectl" --serial "$LINK" stream --frames "${FRAMES:-300}"

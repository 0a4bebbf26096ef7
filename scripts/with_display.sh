#!/bin/bash
# Runs a program with an X display, starting a private virtual one when none is set, so GUI
# tests need no display from whoever runs them. Xvfb picks a free display itself
# (-displayfd), so parallel runs never collide.
# Mesa's software rasteriser draws on the calling thread only: its helper threads live in an
# uninstrumented driver that thread checkers would report on.
export LP_NUM_THREADS=0
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
dir=$(mktemp -d) || exit 1
mkfifo "$dir/display"
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
number=""
read -r -t 30 number <"$dir/display"
if [ -z "$number" ]; then
  echo "with_display: Xvfb did not start" >&2
  cat "$dir/xvfb.log" >&2
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$dir"
  exit 1
fi
DISPLAY=":$number" "$@"
rc=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
rm -rf "$dir"
exit $rc

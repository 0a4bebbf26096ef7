#!/bin/sh
# Runs a test program with an X display, starting a virtual one when none is set.
# xvfb-run -a picks its display number racily, so concurrent starts are serialised.
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
exec flock "${TMPDIR:-/tmp}/manuvia-xvfb-run.lock" \
  xvfb-run -a -s "-screen 0 1600x1200x24" "$@"

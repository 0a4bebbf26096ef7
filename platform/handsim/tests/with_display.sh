#!/bin/sh
# Runs a test program with an X display, starting a virtual one when none is set.
if [ -n "${DISPLAY:-}" ]; then
  exec "$@"
fi
exec xvfb-run -a -s "-screen 0 640x480x24" "$@"

#!/bin/sh
# Runs a test program on a private X display whose windows openbox manages, so they get real
# frames. Needs no display of the user's.
exec xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
  openbox >/dev/null 2>&1 &
  wm=$!
  "$@"
  status=$?
  kill $wm 2>/dev/null
  exit $status' sh "$@"

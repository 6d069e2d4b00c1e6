#!/bin/sh
# Runs a test program on a private X display whose windows openbox manages, so they get real
# frames. Needs no display of the user's. The program starts once openbox is managing the screen
# (openbox runs --startup then), so its first window is framed like any later one.
exec xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
  ready=$(mktemp -u)
  openbox --startup "touch $ready" >/dev/null 2>&1 &
  wm=$!
  tries=0
  while [ ! -e "$ready" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
  rm -f "$ready"
  "$@"
  status=$?
  kill $wm 2>/dev/null
  exit $status' sh "$@"

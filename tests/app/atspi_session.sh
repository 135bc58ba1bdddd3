#!/bin/sh
# Runs quenZOR on a private X server with a private D-Bus session and the AT-SPI bus, and
# reads its list from outside with atspi_read.py, as a screen reader would.
#   atspi_session.sh <quenzor> <atspi_read.py> <rows> <seconds> <program log>
# Meant for a test network's scanner namespace only (the program sweeps its networks).
set -u
work=$(mktemp -d /tmp/qz-atspi-XXXXXX)
Xvfb -nolisten tcp -displayfd 3 -screen 0 1280x1024x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
i=0
while [ ! -s "$work/display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 2; }
DISPLAY=":$(cat "$work/display")"
export DISPLAY
dbus-run-session -- sh -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  bus=$!
  QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$1" >"$5" 2>&1 &
  program=$!
  /usr/bin/python3 "$2" "$3" "$4"
  status=$?
  kill "$program" 2>/dev/null
  wait "$program"
  kill "$bus" 2>/dev/null
  exit $status' sh "$@"

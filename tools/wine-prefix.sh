#!/usr/bin/env bash
# Prepares a private 32-bit Wine prefix whose graphics driver is null (windows
# work with no display) and keeps a wineserver alive for the test run, so that
# each test process starts in a fraction of a second.
#   tools/wine-prefix.sh start PREFIX   - create if needed, start the server
#   tools/wine-prefix.sh stop PREFIX    - stop the server
set -eu
action=$1
export WINEPREFIX=$(realpath -m "$2")
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

case "$action" in
start)
  if [ ! -f "$WINEPREFIX/.tebo-ready" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # The desktop process that wineboot started keeps the old driver:
    # restart the server so the null driver takes effect.
    wineserver -k || true
    wineserver -w
    touch "$WINEPREFIX/.tebo-ready"
  fi
  # A persistent server outlives the individual test processes.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  # One trivial process brings the desktop up before the timed tests start.
  wine cmd /c exit >/dev/null 2>&1 || true
  ;;
stop)
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac

#!/usr/bin/env bash
# Prepares a private Wine prefix of ARCH (x86: 32-bit, x64: 64-bit; default
# x86) whose graphics driver is null (windows work with no display) and keeps
# a wineserver alive for the test run, so that each test process starts in a
# fraction of a second.
#   tools/wine-prefix.sh start PREFIX [ARCH]  - create if needed, start the server
#   tools/wine-prefix.sh stop PREFIX [ARCH]   - stop the server
# Where ARCH's programs do not run here it does nothing and exits with 77
# (skipped), like tools/wine-run.sh.
set -eu
. "$(dirname "$0")/arch.sh"
action=$1
export WINEPREFIX=$(realpath -m "$2")
arch=${3:-x86}
if reason=$(tebo_skip_reason "$arch"); then
  echo "skipped: $reason"
  exit 77
fi
tebo_wine_env "$arch"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

case "$action" in
start)
  if [ ! -f "$WINEPREFIX/.tebo-ready" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Through the loader: the wineboot and reg scripts start the wine
    # script, which prefers the 32-bit loader.
    "$tebo_wine" wineboot -i >/dev/null 2>&1
    "$tebo_wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # The desktop process that wineboot started keeps the old driver:
    # restart the server so the null driver takes effect.
    "$tebo_wineserver" -k || true
    "$tebo_wineserver" -w
    touch "$WINEPREFIX/.tebo-ready"
  fi
  # A persistent server outlives the individual test processes.
  "$tebo_wineserver" -p </dev/null >/dev/null 2>&1 || true
  # One trivial process brings the desktop up before the timed tests start.
  "$tebo_wine" cmd /c exit >/dev/null 2>&1 || true
  ;;
stop)
  "$tebo_wineserver" -k 2>/dev/null || true
  "$tebo_wineserver" -w 2>/dev/null || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX [x86|x64]" >&2
  exit 2
  ;;
esac

#!/usr/bin/env bash
# The Wine prefix the Windows test programs run in.
#
#   wine-prefix.sh start PREFIX   starts a persistent wineserver for PREFIX and boots it
#                                 (creating it when new); safe to call again
#   wine-prefix.sh stop PREFIX    ends that prefix's wineserver (and so its Windows processes)
#
# Every Wine program here runs with its standard streams away from the caller's: a wineserver
# or Windows service started by a program whose output is a pipe keeps the pipe open, and the
# reader (CTest, a shell pipeline) then waits for ever.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 {start|stop} PREFIX" >&2; exit 2; }
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
readonly WINE=/usr/lib/wine/wine64
readonly WINESERVER=/usr/lib/wine/wineserver

case "$1" in
  start)
    mkdir -p "$WINEPREFIX"
    "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
    "$WINE" wineboot --init </dev/null >"$WINEPREFIX.boot.log" 2>&1 || {
      cat "$WINEPREFIX.boot.log" >&2
      exit 1
    }
    ;;
  stop)
    [ -d "$WINEPREFIX" ] || exit 0
    "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 {start|stop} PREFIX" >&2
    exit 2
    ;;
esac

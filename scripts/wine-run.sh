#!/usr/bin/env bash
# Runs a cross-built Windows program under wine in the private prefix build-windows/wine (made on
# first use), without a display unless DISPLAY is set, and without wine's own chatter.
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/harness.sh"
use_wine_prefix "$root"
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Several runs may start at once (ctest -j): one makes the prefix, the others wait for it.
  ( flock 9; [ -f "$WINEPREFIX/system.reg" ] || timeout 300 wineboot -i >/dev/null 2>&1 || true ) \
    9>"$WINEPREFIX.lock"
fi
# A crash must fail the run: winedbg, which wine starts for it by default, ends the program with
# exit status 0. With no debugger to start, wine ends it with the exception's code. Once per prefix.
if [ ! -f "$WINEPREFIX/.crashes-fail" ]; then
  ( flock 9; [ -f "$WINEPREFIX/.crashes-fail" ] ||
      { timeout 120 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger \
          /d quenlo-no-debugger.exe /f >/dev/null 2>&1 && touch "$WINEPREFIX/.crashes-fail"; } ) \
    9>"$WINEPREFIX.lock"
fi
exec wine "$@"

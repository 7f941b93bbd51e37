#!/usr/bin/env bash
# Takes a screenshot of the window under a private Xvfb display.
#
#   scripts/window-screenshot.sh QUENLO_BINARY OUTPUT.png
#
# The window shows a private CUPS server's printer with a few held jobs when the lab can run here,
# otherwise a printer whose address does not answer. Nothing of the user's own configuration or
# running instance is touched: the printers file, the configuration folder and the single-instance
# lock all live in a temporary folder. Exit 77 (skipped) when Xvfb or ImageMagick's import is
# missing, except under CI=true, where that is a failure.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: window-screenshot.sh QUENLO_BINARY OUTPUT.png}
out=${2:?usage: window-screenshot.sh QUENLO_BINARY OUTPUT.png}

. "$here/harness.sh"
require_tools window-screenshot "xvfb, imagemagick, x11-utils" Xvfb import xwininfo
[ -x "$bin" ] || { echo "window-screenshot: no program at $bin" >&2; exit 1; }
bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")

work=$(mktemp -d /tmp/quenlo-shot.XXXXXX)
xvfb_pid="" quenlo_pid="" lab_started=""
cleanup() {
  [ -n "$quenlo_pid" ] && kill "$quenlo_pid" 2>/dev/null && wait "$quenlo_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  [ -n "$lab_started" ] && "$here/cups-lab.sh" stop "$work/lab" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/run" "$work/config" "$work/home"
chmod 700 "$work/run"

# The printers: the lab's when it starts, else an address where nothing answers.
remote="127.0.0.1:9"
if [ -x "$here/cups-lab.sh" ] && port=$("$here/cups-lab.sh" start "$work/lab" --owner $$ 2>/dev/null); then
  lab_started=1
  screenshot_jobs "$work/lab"
  remote="127.0.0.1:$port"
else
  echo "window-screenshot: no private CUPS server here; the window shows an unreachable printer" >&2
fi
screenshot_printers "$work/printers.qdl" "$remote"

start_xvfb "$work" || { echo "window-screenshot: Xvfb did not start" >&2; exit 1; }
xvfb_pid=$XVFB_PID display=$XVFB_DISPLAY

(cd "$work" && exec env DISPLAY="$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/run" \
  XDG_CONFIG_HOME="$work/config" HOME="$work/home" \
  DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" "$bin") >"$work/quenlo.log" 2>&1 &
quenlo_pid=$!

# Wait until the window is mapped and has painted, then shoot it.
mkdir -p "$(dirname "$out")"
window=$(wait_quenlo_window "$display" "$quenlo_pid")
[ -n "$window" ] || { echo "window-screenshot: the window did not appear" >&2; cat "$work/quenlo.log" >&2; exit 1; }
sleep 0.5
DISPLAY="$display" timeout 20 import -window "$window" "$work/shot.png" ||
  { echo "window-screenshot: import failed" >&2; exit 1; }
cp "$work/shot.png" "$out"
echo "window-screenshot: saved $out"

#!/usr/bin/env bash
# A private, real X desktop for running the window, with a private CUPS server beside it.
#
#   scripts/desktop-session.sh [--wm openbox|icewm] [--tray] [--cups [--cups-history]] [--size WxH] [--dir DIR] \
#                              [--keep-bus] -- COMMAND [ARG...]
#
# Starts Xvfb on a display it picks itself (no race with other sessions), the window manager
# (openbox by default; icewm brings its own task bar and notification area), with --tray trayer as
# an XEmbed notification area at the bottom right, with --cups a private CUPS server
# (scripts/cups-lab.sh) on 127.0.0.1 (with --cups-history it keeps the finished jobs), then runs COMMAND in that session and stops everything when
# it ends (or when this script is interrupted). The exit code is COMMAND's.
#
# COMMAND gets this environment, nothing of the user's own desktop or configuration:
#   DISPLAY                   the private display, QT_QPA_PLATFORM=xcb
#   HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR   private folders under the session folder; the
#                             window's printers file goes to "$XDG_CONFIG_HOME/Dorvane/Quenlo/printers.qdl"
#   DBUS_SESSION_BUS_ADDRESS  a path where no bus listens, so the toolkit neither finds the user's
#                             session bus nor launches one of its own (the tray is XEmbed); with
#                             --keep-bus the caller's own private bus (scripts/keyring-session.sh's),
#                             whose services then start on this display
#   QUENLO_SESSION_DIR        the session folder (kept with --dir, else removed at the end)
#   QUENLO_SESSION_WM         openbox or icewm;  QUENLO_SESSION_TRAY  1 when a notification area runs
#   QUENLO_CUPS_LAB, QUENLO_CUPS_PORT   with --cups: the lab folder (for scripts/cups-lab.sh
#                             add-printer, hold-jobs, ...) and the server's port on 127.0.0.1;
#                             "$QUENLO_CUPS_LAB/log/access_log" lists every request with its
#                             operation and status
#
# Exit 77 when Xvfb, the window manager, trayer or xdotool/xwininfo/xprop is missing, except under
# CI=true, where that is a failure (1). Every wait for the session to come up is bounded (20 s).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
wm=openbox tray=0 cups=0 size=1280x1024 dir="" cups_history=() keep_bus=0
usage() { sed -n '4,5p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --wm) wm=${2:-}; shift ;;
    --tray) tray=1 ;;
    --cups) cups=1 ;;
    --cups-history) cups_history=(--history-only) ;;
    --size) size=${2:-}; shift ;;
    --dir) dir=${2:-}; shift ;;
    --keep-bus) keep_bus=1 ;;
    --) shift; break ;;
    *) usage ;;
  esac
  shift
done
[ $# -gt 0 ] || usage
case "$wm" in openbox | icewm) ;; *) usage ;; esac
[[ "$size" =~ ^[0-9]+x[0-9]+$ ]] || usage

say() { echo "desktop-session: $*" >&2; }

. "$here/harness.sh"
tools=(Xvfb "$wm" xdotool xwininfo xprop)
[ "$tray" = 1 ] && [ "$wm" = openbox ] && tools+=(trayer)
require_tools desktop-session "xvfb, $wm, trayer, xdotool, x11-utils" "${tools[@]}"

keep=1
if [ -z "$dir" ]; then
  dir=$(mktemp -d /tmp/quenlo-desktop.XXXXXX)
  keep=0
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
mkdir -p "$dir/home" "$dir/config/Dorvane/Quenlo" "$dir/run" "$dir/log"
chmod 700 "$dir/run"

pids=()          # started here, stopped in reverse order
lab_started=0
cleanup() {
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    # Bounded: a process that ignores SIGTERM gets SIGKILL after 3 s.
    for _ in $(seq 1 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  [ "$lab_started" = 1 ] && "$here/cups-lab.sh" stop "$dir/cups" >/dev/null 2>&1 || true
  lab_started=0
  [ "$keep" = 0 ] && rm -rf "$dir"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_xvfb "$dir/log" "$size" || { say "Xvfb did not start"; exit 1; }
pids+=("$XVFB_PID")
export DISPLAY=$XVFB_DISPLAY

export HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_RUNTIME_DIR="$dir/run"
if [ "$keep_bus" = 1 ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  # Services the bus starts from now on (a keyring's unlock prompt) show on this display.
  dbus-update-activation-environment DISPLAY="$DISPLAY" >/dev/null 2>&1 || true
else
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-session-bus"
fi
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY SESSION_MANAGER XDG_SESSION_TYPE XDG_CURRENT_DESKTOP DESKTOP_SESSION
export QUENLO_SESSION_DIR="$dir" QUENLO_SESSION_WM="$wm" QUENLO_SESSION_TRAY=0

# The window manager, with its own configuration under the private HOME; icewm brings its own
# notification area in its task bar, trayer gives openbox one.
started=0
start_wm "$wm" "$dir/log" && started=1
[ -n "${WM_PID:-}" ] && pids+=("$WM_PID")
[ "$started" = 1 ] || exit 1
[ "$wm" = icewm ] && QUENLO_SESSION_TRAY=1
if [ "$tray" = 1 ] && [ "$wm" = openbox ]; then
  started=0
  start_trayer "$dir/log" --widthtype request --height 24 --SetDockType true \
    --SetPartialStrut true --transparent false --tint 0x333333 && started=1
  pids+=("$TRAY_PID")
  [ "$started" = 1 ] || exit 1
  QUENLO_SESSION_TRAY=1
fi
export QUENLO_SESSION_TRAY

# --- The private CUPS server.
if [ "$cups" = 1 ]; then
  port=$("$here/cups-lab.sh" start "$dir/cups" --owner $$ --log-all "${cups_history[@]}")
  lab_started=1
  export QUENLO_CUPS_LAB="$dir/cups" QUENLO_CUPS_PORT="$port"
fi

say "display $DISPLAY, $wm$([ "$QUENLO_SESSION_TRAY" = 1 ] && echo ' with a notification area')$([ "$cups" = 1 ] && echo ", CUPS on 127.0.0.1:$QUENLO_CUPS_PORT"), folder $dir"
set +e
"$@" </dev/null
rc=$?
set -e
exit "$rc"

#!/usr/bin/env bash
# The one place that starts the private desktops and peers of the tests and benchmarks: Xvfb, a
# window manager, a notification area, a session bus, and the proxies (dante, microsocks,
# tinyproxy). CUPS has its own: scripts/cups-lab.sh.
#
# Sourced by the shell scripts:
#   harness_wait SECONDS COMMAND...    runs COMMAND quietly every 0.1 s until it succeeds
#   start_xvfb DIR [WxH]               XVFB_DISPLAY (":N"), XVFB_PID; log DIR/xvfb.log
#   start_wm openbox|icewm DIR         on $DISPLAY, configured under DIR; WM_PID; log DIR/WM.log
#   start_trayer DIR TRAYER-ARGS...    trayer at the bottom right; TRAY_PID; log DIR/trayer.log
#   start_session_bus DIR              exports DBUS_SESSION_BUS_ADDRESS (DIR/bus); BUS_PID
#   wait_quenlo_window DISPLAY PID [TENTHS]
#   harness_skip WHO REASON            the test cannot run here: exit 77 (skipped), 1 under CI=true
#   require_tools WHO PACKAGES TOOL... harness_skip when a TOOL is missing (PACKAGES bring them)
#   use_wine_prefix ROOT               the private wine prefix ROOT/build-windows/wine, quiet
#   screenshot_jobs LAB                the printer Iroda with the four held jobs the window's
#                                      screenshots show, on a lab of scripts/cups-lab.sh
#   screenshot_printers FILE HOST:PORT [LINE]   their printers file: Iroda there (LINE added to
#                                      its entry), Raktar where nothing answers
# Each start_* returns 1 when what it started is not ready within 20 s.
#
# Run as a command, for callers in other languages (the process becomes the program it starts, so
# its PID is the one to stop):
#   harness.sh xvfb FD WxH             Xvfb writing its display number to the open FD
#   harness.sh wm openbox|icewm DIR    prints "ready" once the window manager runs, then waits
#   harness.sh dante DIR PORT [METHOD...]          on 127.0.0.1 and [::1]; METHOD default "none"
#   harness.sh microsocks PORT [USER PASSWORD]     on 127.0.0.1
#   harness.sh tinyproxy DIR PORT [USER PASSWORD [CONFIG-LINES]]   on 127.0.0.1
# The proxies' configuration and log go to DIR, which must be writable by "nobody" when run as
# root (they drop to it).

harness_skip() {
  echo "$1: $2" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
}

require_tools() {
  local who=$1 packages=$2 missing="" t
  shift 2
  for t in "$@"; do command -v "$t" >/dev/null 2>&1 || missing="$missing $t"; done
  [ -z "$missing" ] || harness_skip "$who" "not installed:$missing (Debian packages $packages)"
}

use_wine_prefix() {
  export WINEPREFIX=${WINEPREFIX:-$1/build-windows/wine}
  export WINEDEBUG=${WINEDEBUG:--all}
}

screenshot_jobs() {
  local lab_script
  lab_script="$(dirname "${BASH_SOURCE[0]}")/cups-lab.sh"
  "$lab_script" add-printer "$1" Iroda >/dev/null
  "$lab_script" hold-jobs "$1" Iroda 2 --user anna --title "Havi jelentés" --size 20480 >/dev/null
  "$lab_script" hold-jobs "$1" Iroda 1 --user bela --title "Számla 2026-12" --size 4096 >/dev/null
  "$lab_script" hold-jobs "$1" Iroda 1 --user csilla --title "Meghívó" >/dev/null
}

screenshot_printers() {
  {
    printf '<printer>\nname=Iroda\nremotehost=%s\nurl=/printers/Iroda\nlocalport=-1\n' "$2"
    printf 'comment=Második emelet, a lift mellett\n'
    [ -z "${3:-}" ] || printf '%s\n' "$3"
    printf '<endprinter>\n<printer>\nname=Raktar\nremotehost=127.0.0.1:9\nurl=/printers/Raktar\nlocalport=-1\n'
    printf '<endprinter>\n'
  } >"$1"
}

# harness_wait SECONDS COMMAND...: the limit is on the clock, not a count of tries, since a try
# may take long itself (a program under wine, on a loaded machine). SECONDS is what a quiet machine
# needs at most; it is stretched by QUENLO_WAIT_SLACK (default 3), since a limit only bounds a hang
# and the same steps on a machine with two CPU burners beside the suite take several times longer.
harness_wait() {
  local end=$((SECONDS + $1 * ${QUENLO_WAIT_SLACK:-3})); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

# -noreset: without it the server resets whenever its last client leaves, and a script's short
# polls (xprop, xdotool) are often the only client while the window manager or the tray is still
# starting; a client that connects during that reset is refused ("cannot open display"), seen about
# once in 30 starts of openbox and trayer side by side on a loaded machine.
# -displayfd: the server picks a free display itself, so sessions side by side never share one (a
# choice made by looking for free lock files races with another script doing the same).
exec_xvfb() {  # FD WxH
  exec Xvfb -displayfd "$1" -screen 0 "${2}x24" -nolisten tcp -noreset
}

start_xvfb() {
  local dir=$1 size=${2:-1280x1024} tenths
  rm -f "$dir/xvfb.display"
  (exec_xvfb 5 "$size") 5>"$dir/xvfb.display" >"$dir/xvfb.log" 2>&1 &
  XVFB_PID=$!
  XVFB_DISPLAY=""
  # The number is written, with its newline, once the server accepts connections.
  for ((tenths = 200; tenths > 0; tenths--)); do
    if grep -q '^[0-9][0-9]*$' "$dir/xvfb.display" 2>/dev/null; then
      XVFB_DISPLAY=":$(head -n 1 "$dir/xvfb.display")"
      return 0
    fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/xvfb.log" >&2 2>/dev/null || true
  return 1
}

wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }

start_wm() {
  local wm=$1 dir=$2
  case "$wm" in
    openbox)
      openbox --sm-disable >"$dir/openbox.log" 2>&1 & ;;
    icewm)
      mkdir -p "$dir/icewm"
      # The task bar with its notification area, and nothing that would open windows of its own.
      cat >"$dir/icewm/preferences" <<'PREFS'
ShowTaskBar=1
TaskBarShowTray=1
TaskBarShowClock=0
TaskBarShowMailboxStatus=0
TaskBarShowCPUStatus=0
TaskBarShowNetStatus=0
TaskBarShowWorkspaces=0
ShowHelp=0
PREFS
      ICEWM_PRIVCFG="$dir/icewm" icewm >"$dir/icewm.log" 2>&1 & ;;
    *) echo "harness: no window manager $wm" >&2; return 1 ;;
  esac
  WM_PID=$!
  harness_wait 20 wm_running || { echo "harness: $wm did not come up within 20 s" >&2; return 1; }
  # icewm's notification area lives in its task bar: ready once that is mapped.
  [ "$wm" != icewm ] || harness_wait 20 window_mapped '("icewm" "TaskBar")' ||
    { echo "harness: icewm's task bar did not come up within 20 s" >&2; return 1; }
}

# window_mapped PATTERN: the first window whose line in the tree holds PATTERN is viewable.
window_mapped() {
  local id
  id=$(xwininfo -root -tree | awk -v pat="$1" 'index($0, pat) { print $1; exit }')
  [ -n "$id" ] && xwininfo -id "$id" | grep -q 'IsViewable'
}

# Ready once its window is mapped: trayer maps it after taking the notification area's selection.
start_trayer() {
  local dir=$1; shift
  trayer --edge bottom --align right "$@" >"$dir/trayer.log" 2>&1 &
  TRAY_PID=$!
  harness_wait 20 window_mapped '("panel" "trayer")' ||
    { echo "harness: trayer did not come up within 20 s" >&2; sed 's/^/  trayer: /' "$dir/trayer.log" >&2; return 1; }
}

start_session_bus() {
  local dir=$1
  rm -f "$dir/bus"
  dbus-daemon --session --address="unix:path=$dir/bus" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
  BUS_PID=$!
  harness_wait 20 test -S "$dir/bus" || { echo "harness: dbus-daemon did not start" >&2; return 1; }
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
}

# wait_quenlo_window DISPLAY PID [TENTHS]: prints the id of Quenlo's window once it is on DISPLAY;
# prints nothing when PID ends first or TENTHS tenths of a second (default 150) have passed.
wait_quenlo_window() {
  local display=$1 pid=$2 tenths=${3:-150} id=""
  for ((; tenths > 0; tenths--)); do
    id=$(DISPLAY="$display" xwininfo -root -tree 2>/dev/null |
         awk '/"Quenlo": \("quenlo" "Quenlo"\)/ {print $1; exit}') || true
    [ -n "$id" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  printf '%s' "$id"
}

# --- The proxies. As root they are told to drop to "nobody" (which exists on every Debian system).

exec_dante() {  # DIR PORT [METHOD...]
  local dir=$1 port=$2; shift 2
  [ $# -gt 0 ] || set -- none
  {
    printf 'logoutput: %s/danted.log\n' "$dir"
    printf 'internal: 127.0.0.1 port = %s\ninternal: ::1 port = %s\n' "$port" "$port"
    printf 'external: 127.0.0.1\nexternal: ::1\nclientmethod: none\nsocksmethod: %s\n' "$*"
    [ "$(id -u)" -ne 0 ] || printf 'user.privileged: root\nuser.unprivileged: nobody\nuser.libwrap: nobody\n'
    printf 'client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n'
    printf 'client pass {\n  from: ::1/128 to: ::/0\n}\n'
    printf 'socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: connect\n  protocol: tcp\n}\n'
    printf 'socks pass {\n  from: ::1/128 to: ::/0\n  command: connect\n  protocol: tcp\n}\n'
  } >"$dir/danted.conf"
  exec /usr/sbin/danted -f "$dir/danted.conf" -p "$dir/danted.pid" -N 1
}

exec_microsocks() {  # PORT [USER PASSWORD]
  if [ $# -ge 3 ]; then
    exec /usr/bin/microsocks -i 127.0.0.1 -p "$1" -u "$2" -P "$3"
  fi
  exec /usr/bin/microsocks -i 127.0.0.1 -p "$1"
}

exec_tinyproxy() {  # DIR PORT [USER PASSWORD [CONFIG-LINES]]
  local dir=$1 port=$2 user=${3:-} password=${4:-} extra=${5:-}
  {
    [ "$(id -u)" -ne 0 ] || printf 'User nobody\nGroup nogroup\n'
    printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nLogFile "%s/tinyproxy.log"\nLogLevel Info\n' "$port" "$dir"
    printf 'MaxClients 50\nAllow 127.0.0.1\nDisableViaHeader Yes\n'
    [ -z "$user" ] || printf 'BasicAuth %s %s\n' "$user" "$password"
    printf '%s' "$extra"
  } >"$dir/tinyproxy.conf"
  exec /usr/bin/tinyproxy -d -c "$dir/tinyproxy.conf"
}

harness_command() {
  local what=${1:-}; shift || true
  case "$what" in
    xvfb) exec_xvfb "$@" ;;
    wm)
      start_wm "$@" || exit 1
      trap 'kill "$WM_PID" 2>/dev/null; wait "$WM_PID" 2>/dev/null; exit 0' TERM INT
      echo ready
      wait "$WM_PID" ;;
    dante) exec_dante "$@" ;;
    microsocks) exec_microsocks "$@" ;;
    tinyproxy) exec_tinyproxy "$@" ;;
    *) sed -n '/^# Run as a command/,/^# root/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  harness_command "$@"
fi

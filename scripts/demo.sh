#!/usr/bin/env bash
# Runs Quenlo for a look at it (scripts/run.sh calls this after building).
#
# With the user's own printers file (found where the program finds it: the ConfDir setting, the
# config home, the home directory, the current directory), the window runs on that file.
#
# Otherwise a private CUPS server is started in demo/ (git-ignored) with two demo printers: one
# with a handful of held jobs from different users, one paused with a state message. A
# printers.qdl for them is written in demo/, and XDG_CONFIG_HOME points at demo/, whose
# Dorvane/Quenlo.conf names that folder, so the user's own configuration is never read or touched.
# The server is stopped when the program ends.
#
# Until the window is built (build/app/quenlo), the demo shows the same through quenlo-cli.
#
#   scripts/demo.sh            as above
#   scripts/demo.sh --demo     always the CUPS demo, even when the user has a printers file
# QUENLO_BUILD_DIR names another build tree to take the programs from (default build/), and
# QUENLO_DEMO_DIR another folder for the demo's files (default demo/).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUENLO_BUILD_DIR:-$root/build}  # another build tree, e.g. build-asan
window="$build/app/quenlo"
cli="$build/cli/quenlo-cli"
lab="$root/scripts/cups-lab.sh"
. "$root/scripts/harness.sh"
demo=${QUENLO_DEMO_DIR:-$root/demo}

force_demo=0
case "${1:-}" in
  "") ;;
  --demo) force_demo=1 ;;
  *) echo "usage: scripts/demo.sh [--demo]" >&2; exit 2 ;;
esac

say() { echo "demo: $*"; }

# ---------------------------------------------------------------------------------------------
# Finding the user's own printers file

config_home() {
  if [ -n "${XDG_CONFIG_HOME:-}" ] && [ "${XDG_CONFIG_HOME:0:1}" = "/" ]; then
    echo "$XDG_CONFIG_HOME"
  elif [ -n "${HOME:-}" ]; then
    echo "$HOME/.config"
  fi
}

# Prints the path of the user's printers file, or fails. quenlo-cli locates it exactly as the
# window does; without it, the same places are tried here (the ConfDir setting read plainly).
own_printers_file() {
  if [ -x "$cli" ]; then
    local first
    first=$("$cli" config 2>/dev/null | head -n 1) || return 1
    [ -n "$first" ] || return 1
    echo "$first"
    return 0
  fi
  local home conf confdir="" dir
  home=$(config_home)
  conf="$home/Dorvane/Quenlo.conf"
  if [ -n "$home" ] && [ -f "$conf" ]; then
    confdir=$(sed -n 's/^ConfDir[ \t]*=[ \t]*//p' "$conf" | tail -n 1 | sed 's/^"\(.*\)"$/\1/')
  fi
  for dir in "$confdir" "${home:+$home/Dorvane/Quenlo/}" "${HOME:+$HOME/}" ""; do
    if [ -f "${dir}printers.qdl" ]; then
      echo "${dir}printers.qdl"
      return 0
    fi
  done
  return 1
}

# ---------------------------------------------------------------------------------------------
# The CUPS demo

lab_dir="$demo/cups"
lab_started=0

stop_demo_cups() {
  if [ "$lab_started" = 1 ]; then
    "$lab" stop "$lab_dir" >/dev/null 2>&1 || true
    lab_started=0
  fi
}

# A value for the settings file, quoted so that any path reads back unchanged.
ini_quoted() {
  local v=${1//\\/\\\\}
  v=${v//\"/\\\"}
  printf '"%s"' "$v"
}

start_demo_cups() {
  mkdir -p "$demo"
  demo=$(cd "$demo" && pwd)  # the settings file names it, so it must not be relative
  lab_dir="$demo/cups"
  "$lab" stop "$lab_dir" >/dev/null 2>&1 || true  # a server left over from an earlier run
  trap stop_demo_cups EXIT
  trap 'stop_demo_cups; exit 130' INT
  trap 'stop_demo_cups; exit 143' TERM
  local port
  port=$("$lab" start "$lab_dir" --owner $$)
  lab_started=1
  say "private CUPS server on 127.0.0.1:$port (files in $lab_dir)"

  "$lab" add-printer "$lab_dir" Demo-Laser
  "$lab" hold-jobs "$lab_dir" Demo-Laser 2 --user anna --title "Havi jelentes.pdf" --size 48000
  "$lab" hold-jobs "$lab_dir" Demo-Laser 1 --user bela --title "Szamla 2026-117" --size 3500
  "$lab" hold-jobs "$lab_dir" Demo-Laser 2 --user csilla --title "Meghivo" --size 120000
  "$lab" hold-jobs "$lab_dir" Demo-Laser 1 --user dani --title "Utazasi terv" --size 9000

  "$lab" add-printer "$lab_dir" Demo-Color
  "$lab" hold-jobs "$lab_dir" Demo-Color 1 --user eszter --title "Plakat A3" --size 250000
  "$lab" pause "$lab_dir" Demo-Color "Toner low: replace the cyan cartridge"

  cat >"$demo/printers.qdl" <<EOF
<global>
proxy=
proxyport=80
admin=1
watch=30
<endglobal>
<printer>
name=Demo-Laser
remotehost=127.0.0.1:$port
url=/printers/Demo-Laser
localport=-1
comment=Demo laser printer with held jobs
<endprinter>
<printer>
name=Demo-Color
remotehost=127.0.0.1:$port
url=/printers/Demo-Color
localport=-1
comment=Demo colour printer, paused
<endprinter>
EOF
  mkdir -p "$demo/Dorvane"
  printf '[General]\nConfDir=%s\n' "$(ini_quoted "$demo/")" >"$demo/Dorvane/Quenlo.conf"
  export XDG_CONFIG_HOME="$demo"
}

# ---------------------------------------------------------------------------------------------
# Showing it

cli_has_command() {
  [ -x "$cli" ] || return 1
  local usage
  usage=$("$cli" 2>&1 || true)  # the command list comes with the usage, exit 2
  grep -q "quenlo-cli $1 " <<<"$usage"
}

# The same view through quenlo-cli, while the window is not built.
run_cli_view() {
  if [ ! -x "$cli" ]; then
    say "build/cli/quenlo-cli is not built either; run scripts/build.sh first" >&2
    return 1
  fi
  say "quenlo-cli config:"
  "$cli" config || return 1
  if cli_has_command refresh; then
    local printer
    for printer in "$@"; do
      say "quenlo-cli refresh --printer $printer:"
      "$cli" refresh --printer "$printer" || true
    done
  fi
}

# ---- The window without a display -----------------------------------------------------------
# With no display, the window runs on a private Xvfb display for a few seconds: its screenshot is
# saved as demo/quenlo-window.png, then the window is closed (its gateways end with it) and the
# display stopped. Without Xvfb, ImageMagick's import or xwininfo, the text view is shown instead.
run_window_headless() {
  local missing="" t
  for t in Xvfb import xwininfo; do command -v "$t" >/dev/null 2>&1 || missing="$missing $t"; done
  if [ -n "$missing" ]; then
    say "no DISPLAY, and not installed:$missing (xvfb, imagemagick, x11-utils); showing the text view"
    run_cli_view "$@"
    return
  fi
  mkdir -p "$demo"
  if ! start_xvfb "$demo"; then
    say "no DISPLAY and Xvfb did not start; showing the text view"
    run_cli_view "$@"
    return
  fi
  local display=$XVFB_DISPLAY xvfb_pid=$XVFB_PID
  say "no DISPLAY: running the window on a private Xvfb display $display"
  # The private display has no session bus; an address that leads nowhere keeps the toolkit from
  # launching one of its own, which would leave its files in the user's home.
  DISPLAY="$display" QT_QPA_PLATFORM=xcb DBUS_SESSION_BUS_ADDRESS="unix:path=$demo/no-session-bus" \
    "$window" >/dev/null 2>&1 &
  local quenlo_pid=$!
  local id
  id=$(wait_quenlo_window "$display" "$quenlo_pid" 300)
  local shot="$demo/quenlo-window.png"
  if [ -n "$id" ]; then
    sleep 2  # let the overview's rows arrive and paint
    if DISPLAY="$display" timeout 20 import -window "$id" "$shot"; then
      say "screenshot of the window saved: $shot"
    else
      say "the window ran, but its screenshot failed" >&2
    fi
  elif kill -0 "$quenlo_pid" 2>/dev/null; then
    say "the window did not appear within 30 s" >&2
  else
    say "the window ended at once (another Quenlo already running for this user, or no printers)" >&2
  fi
  kill "$quenlo_pid" 2>/dev/null || true
  wait "$quenlo_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
}
# ---------------------------------------------------------------------------------------------

# Runs the window (or its stand-in) and waits for it to end.
show() {
  if [ -x "$window" ]; then
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
      run_window_headless "$@"
    else
      say "starting the window; close it to end the demo"
      "$window" || true
    fi
  else
    say "the window ($window) is not built yet; showing the text view"
    run_cli_view "$@"
  fi
}

main() {
  local own
  if [ "$force_demo" = 0 ] && own=$(own_printers_file); then
    say "using your printers file: $own"
    local names=()
    if [ -x "$cli" ]; then
      # Entry lines have twelve tab-separated fields; the proxy lines two.
      mapfile -t names < <("$cli" config 2>/dev/null | awk -F'\t' 'NR > 1 && NF == 12 { print $1 }')
    fi
    show "${names[@]}"
    return
  fi
  start_demo_cups
  show Demo-Laser Demo-Color
}

main

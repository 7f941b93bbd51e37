#!/usr/bin/env bash
# How long a second start takes to show the running window and end: the real quenlo on a private
# desktop (scripts/desktop-session.sh: Xvfb, openbox, trayer) sits in the tray; then R second starts
# one after another, each timed from its fork to its exit, and the first window put back in the
# tray between them. Prints the median, the middle half and the worst, and the exit codes.
#
#   bench/second_start.sh [--runs R] [--build DIR]
#
# Default R = 21. Goal: well under the 10 s a start waits for a running instance to end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
runs=21 build="$here/build"
. "$here/scripts/options.sh"
take_options '2,9p' runs build -- "$@"
app="$build/app/quenlo"
[ -x "$app" ] || { echo "build quenlo first (scripts/build.sh)" >&2; exit 1; }

# The part that runs inside the session.
if [ -z "${QUENLO_SESSION_DIR:-}" ]; then
  exec "$here/scripts/desktop-session.sh" --tray -- "$0" --runs "$runs" --build "$build"
fi
dead=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '<printer>\nname=Iroda\nremotehost=127.0.0.1:%s\nurl=/printers/Iroda\nlocalport=-1\n<endprinter>\n' "$dead" \
  >"$XDG_CONFIG_HOME/Dorvane/Quenlo/printers.qdl"
"$app" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null || true' EXIT
main_window() {  # the program's big window when it is mapped (its tray icon is small)
  local w
  for w in $(xdotool search --onlyvisible --pid "$pid" --name '^Quenlo$' 2>/dev/null); do
    [ "$(xdotool getwindowgeometry "$w" 2>/dev/null | awk '/Geometry/ { split($2, s, "x"); print s[1] }')" -ge 600 ] 2>/dev/null &&
      { echo "$w"; return; }
  done
}
wait_for() {  # wait_for LIMIT COMMAND...: true once COMMAND is, polled every 50 ms
  local i
  for ((i = 0; i < $1 * 20; i++)); do "${@:2}" && return 0; sleep 0.05; done
  return 1
}
shown() { [ -n "$(main_window)" ]; }
hidden() { [ -z "$(main_window)" ]; }
wait_for 20 shown || { echo "the window did not come up" >&2; exit 1; }
wait_for 20 hidden || { echo "the window did not go to the tray" >&2; exit 1; }
times=() codes=()
for _ in $(seq 1 "$runs"); do
  began=$(date +%s%N)
  code=0
  timeout 15 "$app" >/dev/null 2>&1 || code=$?
  times+=($(( ($(date +%s%N) - began) / 1000 )))
  codes+=("$code")
  wait_for 10 shown || { echo "the window did not come back" >&2; exit 1; }
  xdotool windowminimize "$(main_window)"
  wait_for 10 hidden || { echo "the window did not go back to the tray" >&2; exit 1; }
done
printf '%s\n' "${times[@]}" | sort -n | awk -v codes="${codes[*]}" '{ t[NR] = $1 / 1000 }
  END { printf "second start, %d runs: median %.1f ms (middle half %.1f-%.1f), worst %.1f ms; exit codes: %s\n",
        NR, t[int((NR + 1) / 2)], t[int(NR / 4) + 1], t[int(3 * NR / 4)], t[NR], codes }'

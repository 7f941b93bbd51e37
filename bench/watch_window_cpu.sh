#!/usr/bin/env bash
# The window's own CPU while it watches from the tray: the real quenlo on a private desktop
# (scripts/desktop-session.sh: Xvfb, openbox, trayer, a private CUPS) watching N printers that hold
# J jobs each, one look every S seconds, measured over P seconds once it has settled in the tray.
#
#   bench/watch_window_cpu.sh [--printers N] [--jobs J] [--seconds S] [--period P] [--build DIR]
#
# Defaults: 5 printers x 200 jobs, S = 5, P = 60. CPU is read from /proc/PID/stat (user + system).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
printers=5 jobs=200 seconds=5 period=60 build="$here/build"
. "$here/scripts/options.sh"
take_options '2,8p' printers jobs seconds period build -- "$@"
app="$build/app/quenlo"
[ -x "$app" ] || { echo "build quenlo first (scripts/build.sh)" >&2; exit 1; }

# The part that runs inside the session.
if [ -z "${QUENLO_CUPS_LAB:-}" ]; then
  exec "$here/scripts/desktop-session.sh" --tray --cups -- "$0" --printers "$printers" --jobs "$jobs" \
    --seconds "$seconds" --period "$period" --build "$build"
fi
config="$XDG_CONFIG_HOME/Dorvane/Quenlo/printers.qdl"
echo "watch=$seconds" >"$config"
for i in $(seq 1 "$printers"); do
  "$here/scripts/cups-lab.sh" add-printer "$QUENLO_CUPS_LAB" "bench$i"
  "$here/scripts/cups-lab.sh" hold-jobs "$QUENLO_CUPS_LAB" "bench$i" "$jobs" --fast >/dev/null
  printf '<printer>\nname=bench%s\nremotehost=127.0.0.1:%s\nurl=/printers/bench%s\nlocalport=-1\n<endprinter>\n' \
    "$i" "$QUENLO_CUPS_PORT" "$i" >>"$config"
done
"$app" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null || true' EXIT
sleep 10  # start-up, the first refresh, to the tray, the subscriptions
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
before=$(ticks)
sleep "$period"
after=$(ticks)
hz=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$hz" -v p="$period" -v n="$printers" -v j="$jobs" -v s="$seconds" \
  'BEGIN { printf "window watching %d printers x %d jobs every %d s: %.0f ms over %d s, %.2f%% of a core\n", n, j, s, t * 1000 / hz, p, t * 100 / hz / p }'

#!/usr/bin/env bash
# What the background watch costs the print server, side by side in one run: the CPU a private CUPS
# server spends over the same period with no client at all (idle), while quenlo-cli watch looks at
# its printers every S seconds, and while the plain refresh of every printer runs every S seconds
# (what a client without the watch would have to do). Quenlo's own CPU while watching is shown too.
#
#   bench/watch_server_cpu.sh [--printers N] [--jobs J] [--seconds S] [--period P] [--build DIR]
#
# Defaults: 5 printers holding 1000 jobs each, S = 5, P = 60 seconds per phase (about 6 minutes). CPU is read from
# /proc/PID/stat (user + system ticks) of the server process at the start and end of each phase.
# Every printer reports four supplies and a state reason (one job through the lab's own backend
# before the held ones), so the watch reads them at every look of its printers.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
printers=5 jobs=1000 seconds=5 period=60 build="$here/build"
. "$here/scripts/options.sh"
take_options '2,10p' printers jobs seconds period build -- "$@"
cli="$build/cli/quenlo-cli"
[ -x "$cli" ] || { echo "build quenlo-cli first (scripts/build.sh)" >&2; exit 1; }
lab=$(mktemp -d /tmp/quenlo-watch-bench.XXXXXX)
cleanup() { "$here/scripts/cups-lab.sh" stop "$lab" >/dev/null 2>&1 || true; rm -rf "$lab"; }
trap cleanup EXIT
port=$("$here/scripts/cups-lab.sh" start "$lab" --owner $$)
config="$lab/printers.qdl"
echo "watch=$seconds" >"$config"
cat >"$lab/says.txt" <<'EOF'
ATTR: marker-names=Black,Cyan,Magenta,Yellow marker-colors=#000000,#00FFFF,#FF00FF,#FFFF00 marker-types=toner,toner,toner,toner marker-levels=80,5,60,-1 marker-low-levels=10,10,10,10 marker-high-levels=100,100,100,100
STATE: +toner-low-warning
EOF
for i in $(seq 1 "$printers"); do
  "$here/scripts/cups-lab.sh" add-printer "$lab" "bench$i" --device lab-says:/
  "$here/scripts/cups-lab.sh" print "$lab" "bench$i" "$lab/says.txt"
  "$here/scripts/cups-lab.sh" hold-jobs "$lab" "bench$i" "$jobs" --fast >/dev/null
  printf '<printer>\nname=bench%s\nremotehost=127.0.0.1:%s\nurl=/printers/bench%s\nlocalport=-1\n<endprinter>\n' \
    "$i" "$port" "$i" >>"$config"
done
server=$(cat "$lab/cupsd.pid")
hz=$(getconf CLK_TCK)
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Prints "NAME  server-ms  percent-of-one-core" for one phase that runs "$@" in the background.
phase() {
  local name=$1; shift
  local before after client="" cbefore=0 cafter=0
  sleep 2  # let the previous phase's work drain
  before=$(ticks "$server")
  if [ $# -gt 0 ]; then
    "$@" &
    client=$!
    sleep 1
    cbefore=$(ticks "$client" 2>/dev/null || echo 0)
    sleep $((period - 1))
    cafter=$(ticks "$client" 2>/dev/null || echo "$cbefore")
    kill "$client" 2>/dev/null || true
    wait "$client" 2>/dev/null || true
  else
    sleep "$period"
  fi
  after=$(ticks "$server")
  awk -v n="$name" -v t=$((after - before)) -v c=$((cafter - cbefore)) -v hz="$hz" -v p="$period" \
    'BEGIN { printf "%-10s server %7.0f ms  %6.2f%% of a core   client %6.2f%%\n", n, t * 1000 / hz, t * 100 / hz / p, c * 100 / hz / (p - 1) }'
}

# The client column of this phase is the loop's shell only, not the quenlo-cli runs it starts.
refresh_loop() {
  while true; do
    for i in $(seq 1 "$printers"); do "$cli" refresh --config "$config" --printer "bench$i" >/dev/null || true; done
    sleep "$seconds"
  done
}

echo "server: $printers printers x $jobs jobs, one look every $seconds s, $period s per phase"
# The server goes on writing the new jobs' files for a while; idle is measured after that, and
# again at the end, so a settling server does not pass for the cost of being idle.
sleep 15
phase idle
watch_quietly() { exec "$cli" watch --config "$config" --seconds "$seconds" >/dev/null; }
phase watch watch_quietly
phase refresh refresh_loop
phase idle-again

#!/usr/bin/env bash
# Every printer of an office spread over several CUPS servers, at a glance: `quenlo-cli status`
# against S private servers of P printers each, beside what an administrator types today,
# `lpstat -h SERVER -p` for each server one after another. Prints the median and middle half of the
# wall time of each over R runs, and the requests each server saw in one status run (its access log).
#
#   bench/status_servers.sh [--servers S] [--printers P] [--runs R] [BUILD_DIR]
#
# Defaults: 20 servers x 25 printers (500), R = 11, the build/ of this tree.
#
# Then the administrator's window on the same printers, under Xvfb (bench_app_ui_stretch --overview):
# the longest stretch without an event turn while a look fills the overview's 500 rows, five
# looks; and, with the watch, how many rows are redrawn when one printer is paused.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
servers=20 printers=25 runs=11
. "$here/scripts/options.sh"
. "$here/bench/office_servers.sh"
. "$here/scripts/harness.sh"
take_options '2,8p' servers printers runs ... -- "$@"
build=${ARGS[0]:-$here/build}
cli="$build/cli/quenlo-cli"
root=$(mktemp -d /tmp/quenlo-status-bench.XXXXXX)
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  stop_office_servers
  rm -rf "$root"
}
trap cleanup EXIT

start_office_servers "$root" "$servers" "$printers" --log-all
dirs=("${OFFICE_DIRS[@]}") ports=("${OFFICE_PORTS[@]}")
config="$root/printers.qdl"
office_printer_entries >>"$config"

# One status run, counted in the servers' access logs.
before=()
for d in "${dirs[@]}"; do before+=("$(grep -c 'POST ' "$d/log/access_log" || true)"); done
rows=$("$cli" status --config "$config" | wc -l)
most=0 least=1000000
for i in "${!dirs[@]}"; do
  n=$(( $(grep -c 'POST ' "${dirs[i]}/log/access_log" || true) - before[i] ))
  (( n > most )) && most=$n
  (( n < least )) && least=$n
done
echo "status: $rows rows from $servers servers x $printers printers; requests per server in one run: $least to $most"

lpstat_all=$(printf '/usr/bin/lpstat -h 127.0.0.1:%s -p >/dev/null; ' "${ports[@]}")
python3 - "$runs" "$cli" "$config" "$lpstat_all" <<'PY'
import statistics, subprocess, sys, time
runs, cli, config, lpstat_all = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
commands = {
    "quenlo-cli status": [cli, "status", "--config", config],
    "lpstat -p, server by server": ["/bin/sh", "-c", lpstat_all],
}
times = {name: [] for name in commands}
for _ in range(runs):  # in turn, so a drift of the machine's speed meets both
    for name, argv in commands.items():
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times[name].append((time.perf_counter() - start) * 1000)
for name, t in times.items():
    q = statistics.quantiles(t, n=4)
    print(f"{name:30} {statistics.median(t):8.1f} ms wall (middle half {q[0]:.1f}-{q[2]:.1f}), {runs} runs")
PY

# The window: a printers file with the administrator's key, found through its own settings folder.
stretch="$build/bench/bench_app_ui_stretch"
if [ ! -x "$stretch" ] || ! command -v Xvfb >/dev/null; then
  echo "window: not measured (no $stretch or no Xvfb)"
  exit 0
fi
start_xvfb "$root" || { echo "window: Xvfb did not start" >&2; exit 1; }
xvfb_pid=$XVFB_PID
window_run() {  # GLOBAL_KEYS ARGS...: one run of the window's bench on the printers with those keys
  local keys=$1; shift
  local home="$root/window"
  rm -rf "$home"; mkdir -p "$home/Dorvane"
  printf '<global>\n%s<endglobal>\n' "$keys" >"$home/printers.qdl"
  cat "$config" >>"$home/printers.qdl"
  printf '[General]\nConfDir="%s/"\n' "$home" >"$home/Dorvane/Quenlo.conf"
  DISPLAY=$XVFB_DISPLAY XDG_CONFIG_HOME="$home" XDG_RUNTIME_DIR="$root" QT_QPA_PLATFORM=xcb \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$root/no-bus" "$stretch" --overview "$@"
}
window_run $'admin=1\n' 5
window_run $'admin=1\nwatch=30\n' 1 "$here/scripts/cups-lab.sh pause ${dirs[0]} q1 'Paper jam' >/dev/null"

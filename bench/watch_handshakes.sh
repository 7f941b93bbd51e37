#!/usr/bin/env bash
# How many TLS handshakes the watch costs a server: quenlo-cli watch looks at one printer of a
# private CUPS server over TLS (encryption=Required) every second for P seconds, while the printer
# is paused and resumed every few seconds so that its events wake looks too. Every TCP connection to
# the server is one handshake; tcpdump counts the connection openings (SYN) on the loopback.
# Run as root (tcpdump).
#
#   bench/watch_handshakes.sh [--period P] [--build DIR]...
#
# One line per build: "BUILD connections N over P s". Defaults: P = 20, the build ./build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
period=20
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --period) period=$2; shift 2 ;;
    --build) builds+=("$2"); shift 2 ;;
    *) echo "usage: $0 [--period P] [--build DIR]..." >&2; exit 2 ;;
  esac
done
[ ${#builds[@]} -gt 0 ] || builds=("$here/build")

work=$(mktemp -d /tmp/quenlo-handshakes.XXXXXX)
lab=$work/lab
dump=""
cleanup() {
  [ -z "$dump" ] || { kill "$dump" 2>/dev/null || true; wait "$dump" 2>/dev/null || true; }
  "$here/scripts/cups-lab.sh" stop "$lab" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$("$here/scripts/cups-lab.sh" start "$lab")
"$here/scripts/cups-lab.sh" add-printer "$lab" laser >/dev/null
printf '<printer>\nname=laser\nremotehost=127.0.0.1:%s\nurl=/printers/laser\nlocalport=-1\nencryption=Required\n<endprinter>\n' \
  "$port" >"$work/printers.qdl"

for build in "${builds[@]}"; do
  export XDG_CONFIG_HOME=$work/xdg-$RANDOM
  tcpdump -i lo -n -l "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn and dst port $port" >"$work/syn" 2>"$work/tcpdump.err" &
  dump=$!
  for _ in $(seq 100); do grep -q "listening on" "$work/tcpdump.err" 2>/dev/null && break; sleep 0.05; done
  "$build/cli/quenlo-cli" watch --config "$work/printers.qdl" --seconds 1 >"$work/looks" 2>&1 &
  watch=$!
  end=$((SECONDS + period))
  while [ $SECONDS -lt $end ]; do
    sleep 2; "$here/scripts/cups-lab.sh" pause "$lab" laser "bench pause" >/dev/null
    sleep 2; "$here/scripts/cups-lab.sh" resume "$lab" laser >/dev/null
  done
  kill -INT "$watch"; wait "$watch" 2>/dev/null || true
  sleep 0.5
  kill "$dump"; wait "$dump" 2>/dev/null || true
  dump=""
  printf '%s\tconnections %s over %s s\tchanges seen %s\n' "$build" "$(wc -l <"$work/syn")" "$period" "$(wc -l <"$work/looks")"
done

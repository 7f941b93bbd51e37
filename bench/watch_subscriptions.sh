#!/usr/bin/env bash
# How many subscriptions an office of watchers holds on one private CUPS server with its stock limits
# (cups-lab.sh --stock-limits: 100 subscriptions, 100 clients): N copies of quenlo-cli watch, each watching the same M printers every S
# seconds, and whether a third program is still granted a subscription of its own. Each build given
# runs in turn against the same server (the previous build beside the new one, for example).
#
#   bench/watch_subscriptions.sh [--watchers N] [--printers M] [--seconds S] [--settle T] [BUILD_DIR ...]
#
# Defaults: 6 watchers x 20 printers, S = 2, T = 15 seconds for the watchers to settle, the build/
# of this tree. Prints per build: "subscriptions held", "third party" (the status of its request),
# "left after exit" (the watchers ended with SIGTERM).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
watchers=6 printers=20 seconds=2 settle=15 builds=()
. "$here/scripts/options.sh"
take_options '2,11p' watchers printers seconds settle ... -- "$@"
builds=("${ARGS[@]}")
[ ${#builds[@]} -gt 0 ] || builds=("$here/build")
lab=$(mktemp -d /tmp/quenlo-subs-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$here/scripts/cups-lab.sh" stop "$lab" >/dev/null 2>&1 || true
  rm -rf "$lab"
}
trap cleanup EXIT
port=$("$here/scripts/cups-lab.sh" start "$lab" --stock-limits --owner $$)
config="$lab/printers.qdl"
echo "watch=$seconds" >"$config"
for i in $(seq 1 "$printers"); do
  "$here/scripts/cups-lab.sh" add-printer "$lab" "office$i"
  printf '<printer>\nname=office%s\nremotehost=127.0.0.1:%s\nurl=/printers/office%s\nlocalport=-1\n<endprinter>\n' \
    "$i" "$port" "$i" >>"$config"
done

# The IPP requests of bench/watch_office.py: the subscriptions the server holds, and one more for a
# third program (its status code).
office() { python3 -c "import sys; sys.path.insert(0, '$here/bench'); import watch_office as o; $1"; }
held() { office "print(o.subscriptions_held($port))"; }
third_party() { office "print('0x%04x' % o.subscribe($port, 'third-party', 300)[0])"; }

echo "$watchers watchers x $printers printers, watch=$seconds, the server's stock limits (100 subscriptions, 100 clients)"
for build in "${builds[@]}"; do
  pids=()
  for _ in $(seq 1 "$watchers"); do
    "$build/cli/quenlo-cli" watch --config "$config" --seconds "$seconds" >/dev/null 2>&1 &
    pids+=($!)
  done
  sleep "$settle"
  during=$(held)
  third=$(third_party)
  [ "$third" = 0x0000 ] && third="granted" || third="refused ($third)"
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  after=$(held)
  printf '%-40s subscriptions held %3s   third party %-16s   left after exit %s (the third party'"'"'s included)\n' \
    "$build" "$during" "$third" "$after"
  # The third party's subscription ends with the server: cancel nothing, start the next build clean.
  "$here/scripts/cups-lab.sh" down "$lab" >/dev/null
  find "$lab" -name subscriptions.conf -delete
  "$here/scripts/cups-lab.sh" up "$lab" >/dev/null
done

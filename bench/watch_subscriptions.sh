#!/usr/bin/env bash
# How many subscriptions an office of watchers holds on one private CUPS server with its stock
# MaxSubscriptions (100): N copies of quenlo-cli watch, each watching the same M printers every S
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
while [ $# -gt 0 ]; do
  case "$1" in
    --watchers) watchers=$2; shift ;;
    --printers) printers=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    --settle) settle=$2; shift ;;
    -*) sed -n '2,11p' "$0" >&2; exit 2 ;;
    *) builds+=("$1") ;;
  esac
  shift
done
[ ${#builds[@]} -gt 0 ] || builds=("$here/build")
lab=$(mktemp -d /tmp/quenlo-subs-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$here/scripts/cups-lab.sh" stop "$lab" >/dev/null 2>&1 || true
  rm -rf "$lab"
}
trap cleanup EXIT
port=$("$here/scripts/cups-lab.sh" start "$lab" --owner $$)
config="$lab/printers.qdl"
echo "watch=$seconds" >"$config"
for i in $(seq 1 "$printers"); do
  "$here/scripts/cups-lab.sh" add-printer "$lab" "office$i"
  printf '<printer>\nname=office%s\nremotehost=127.0.0.1:%s\nurl=/printers/office%s\nlocalport=-1\n<endprinter>\n' \
    "$i" "$port" "$i" >>"$config"
done

# ipp OP USER [subscribe]: posts one IPP/1.1 request to the server's root and prints its status
# code, and with "count" the number of subscription ids in the answer.
ipp() {
  python3 - "$port" "$@" <<'PY'
import struct, sys, urllib.request
port, op, user, what = int(sys.argv[1]), int(sys.argv[2], 16), sys.argv[3], sys.argv[4]
def attr(tag, name, value):
    v = value if isinstance(value, bytes) else value.encode()
    return struct.pack(">BH", tag, len(name)) + name.encode() + struct.pack(">H", len(v)) + v
body = struct.pack(">BBHI", 1, 1, op, 1) + b"\x01"
body += attr(0x47, "attributes-charset", "utf-8") + attr(0x48, "attributes-natural-language", "en")
body += attr(0x45, "printer-uri", "ipp://127.0.0.1:%d/" % port) + attr(0x42, "requesting-user-name", user)
if what == "subscribe":
    body += b"\x06" + attr(0x44, "notify-pull-method", "ippget") + attr(0x44, "notify-events", "printer-state-changed")
body += b"\x03"
req = urllib.request.Request("http://127.0.0.1:%d/" % port, data=body, headers={"Content-Type": "application/ipp"})
answer = urllib.request.urlopen(req, timeout=30).read()
status = struct.unpack(">H", answer[2:4])[0]
print("0x%04x %d" % (status, answer.count(b"notify-subscription-id")))
PY
}
held() { ipp 0x0019 root count | awk '{ print $2 }'; }

echo "$watchers watchers x $printers printers, watch=$seconds, server MaxSubscriptions stock (100)"
for build in "${builds[@]}"; do
  pids=()
  for _ in $(seq 1 "$watchers"); do
    "$build/cli/quenlo-cli" watch --config "$config" --seconds "$seconds" >/dev/null 2>&1 &
    pids+=($!)
  done
  sleep "$settle"
  during=$(held)
  third=$(ipp 0x0016 third-party subscribe | awk '{ print $1 }')
  [ "$third" = 0x0000 ] && third="granted" || third="refused ($third)"
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  after=$(held)
  ipp 0x0019 root count >/dev/null
  printf '%-40s subscriptions held %3s   third party %-16s   left after exit %s (the third party'"'"'s included)\n' \
    "$build" "$during" "$third" "$after"
  # The third party's subscription ends with the server: cancel nothing, start the next build clean.
  "$here/scripts/cups-lab.sh" down "$lab" >/dev/null
  find "$lab" -name subscriptions.conf -delete
  "$here/scripts/cups-lab.sh" up "$lab" >/dev/null
done

#!/usr/bin/env bash
# Captures what a private CUPS server (scripts/cups-lab.sh) answers to the refresh's three requests
# for printers holding 5,000, 1,000 and 10 held jobs, for the refresh benchmark
# (scripts/bench-refresh.sh) to replay.
#
#   scripts/capture-refresh.sh OUTDIR [QUENLO_CLI]      (default: build/cli/quenlo-cli)
#
# OUTDIR/jobs-N/ receives probe.http, get-jobs.http and get-printer.http: each the whole answer as
# it came off the socket (status line, header and body), so a replay gives the client the same
# bytes in the same framing. The requests are the ones quenlo-cli refresh sends. Filling the lab
# takes a minute or two; OUTDIR/done marks a complete capture, so a second run does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:?usage: scripts/capture-refresh.sh OUTDIR [QUENLO_CLI]}
cli=${2:-build/cli/quenlo-cli}
[ -x "$cli" ] || { echo "capture-refresh: $cli is not built" >&2; exit 1; }
[ -f "$out/done" ] && exit 0
mkdir -p "$out"
out=$(cd "$out" && pwd)
lab=$(mktemp -d /tmp/capture-refresh.XXXXXX)
trap 'scripts/cups-lab.sh stop "$lab" || true; rm -rf "$lab"' EXIT

port=$(scripts/cups-lab.sh start "$lab")

# capture NAME METHOD PATH [BODYFILE]: one HTTP/1.0 exchange with the client's header lines,
# everything the server sends until it closes saved as NAME.
capture() {
  python3 - "$port" "$@" <<'EOF'
import socket, sys
port, name, method, path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
body = open(sys.argv[5], "rb").read() if len(sys.argv) > 5 else b""
lines = [method + " " + path + " HTTP/1.0",
         "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*"]
if method == "POST":
    lines.append("Content-Type: application/ipp")
lines += ["User-Agent: Internet Print Provider", "Host: 127.0.0.1:%d" % port]
if method == "POST":
    lines.append("Content-Length: %d" % len(body))
request = ("\r\n".join(lines) + "\r\n\r\n").encode() + body
s = socket.create_connection(("127.0.0.1", port), timeout=60)
s.sendall(request)
answer = bytearray()
while True:
    block = s.recv(65536)
    if not block:
        break
    answer += block
s.close()
open(name, "wb").write(answer)
EOF
}

for count in 10 1000 5000; do
  printer=jobs$count
  scripts/cups-lab.sh add-printer "$lab" "$printer"
  scripts/cups-lab.sh hold-jobs "$lab" "$printer" "$count" --user anna --fast
  uri="http://127.0.0.1:$port/printers/$printer"
  dir="$out/jobs-$count"
  mkdir -p "$dir"
  "$cli" request get-jobs --uri "$uri" >"$lab/get-jobs.bin"
  "$cli" request get-printer-attributes --uri "$uri" >"$lab/get-printer.bin"
  capture "$dir/probe.http" GET "/printers/$printer"
  capture "$dir/get-jobs.http" POST "/printers/$printer" "$lab/get-jobs.bin"
  capture "$dir/get-printer.http" POST "/printers/$printer" "$lab/get-printer.bin"
  echo "capture-refresh: $dir ($(stat -c %s "$dir/get-jobs.http") bytes of Get-Jobs answer)"
done
touch "$out/done"

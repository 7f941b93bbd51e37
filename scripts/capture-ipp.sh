#!/usr/bin/env bash
# Re-makes the captured IPP answers under tests/data/ipp/ from a private CUPS server
# (scripts/cups-lab.sh), posting the exact request bodies that `quenlo-cli request` writes.
#
#   scripts/capture-ipp.sh [QUENLO_CLI]      (default: build/cli/quenlo-cli)
#
# The captures hold creation times and server details of the moment they were made: after
# re-making them, update the expected rows in the tests that read them.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/cli/quenlo-cli}
[ -x "$cli" ] || { echo "capture-ipp: $cli is not built" >&2; exit 1; }
out=tests/data/ipp
lab=$(mktemp -d /tmp/capture-ipp.XXXXXX)
trap 'scripts/cups-lab.sh stop "$lab"; rm -rf "$lab"' EXIT

port=$(scripts/cups-lab.sh start "$lab")
base="http://127.0.0.1:$port"

# post NAME OP URI [request options...]: saves the answer's body as $out/NAME.bin
post() {
  local name=$1 op=$2 uri=$3
  shift 3
  "$cli" request "$op" --uri "$uri" "$@" >"$lab/request.bin"
  curl -s --http1.0 --max-time 20 -H 'Content-Type: application/ipp' --data-binary @"$lab/request.bin" \
    -o "$out/$name.bin" "$uri"
  echo "capture-ipp: $out/$name.bin ($(stat -c %s "$out/$name.bin") bytes)"
}

# office: held jobs of several users and sizes, one with a non-ASCII title.
scripts/cups-lab.sh add-printer "$lab" office
scripts/cups-lab.sh hold-jobs "$lab" office 2 --user alice --size 1024 --title report.pdf
scripts/cups-lab.sh hold-jobs "$lab" office 1 --user bob --size 5000 --title "Számla 2026"
scripts/cups-lab.sh hold-jobs "$lab" office 1 --user carol --size 200000 --title "poster.ps"
post get-jobs-held get-jobs "$base/printers/office"

# idle: no jobs, idle and accepting.
scripts/cups-lab.sh add-printer "$lab" idle
post get-jobs-empty get-jobs "$base/printers/idle"
post get-printer-idle get-printer-attributes "$base/printers/idle"

# paused: stopped with a state message.
scripts/cups-lab.sh add-printer "$lab" paused
scripts/cups-lab.sh pause "$lab" paused "Papírelakadás a 2. tálcában"
post get-printer-paused get-printer-attributes "$base/printers/paused"

# An IPP error: a printer the server does not know.
post get-jobs-not-found get-jobs "$base/printers/nosuch"

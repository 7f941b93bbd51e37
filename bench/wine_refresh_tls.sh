#!/usr/bin/env bash
# A refresh of a private CUPS server's queue by quenlo-cli.exe under wine, plain and over TLS
# (SChannel, encryption=Required), side by side in one run: the median wall time of RUNS whole
# refreshes each, the runs of both kinds taken in turn. The program's start under wine is in both;
# the difference is what TLS costs.
#
#   bench/wine_refresh_tls.sh [--jobs N] [--runs R]     (defaults: 1000 held jobs, 7 runs)
#
# Needs build/ (Linux) and build-windows/ (scripts/build.sh, scripts/build.sh windows).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=1000 runs=7
. "$here/scripts/options.sh"
take_options '2,9p' jobs runs -- "$@"
cli="$here/build-windows/cli/quenlo-cli.exe"
[ -x "$cli" ] || { echo "build quenlo-cli.exe first (scripts/build.sh windows)" >&2; exit 1; }
work=$(mktemp -d /tmp/quenlo-wine-tls-bench.XXXXXX)
port=""
cleanup() {
  [ -z "$port" ] || "$here/scripts/wine-run.sh" "$cli" trust --forget "127.0.0.1:$port" >/dev/null 2>&1 || true
  "$here/scripts/cups-lab.sh" stop "$work/lab" >/dev/null 2>&1 || true; rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=${WINEPREFIX:-$here/build-windows/wine}

port=$("$here/scripts/cups-lab.sh" start "$work/lab" --owner $$)
"$here/scripts/cups-lab.sh" add-printer "$work/lab" Bench >/dev/null
"$here/scripts/cups-lab.sh" hold-jobs "$work/lab" Bench "$jobs" --fast >/dev/null
for mode in Never Required; do
  printf '<printer>\nname=Bench\nremotehost=127.0.0.1:%s\nurl=/printers/Bench\nlocalport=-1\nencryption=%s\n<endprinter>\n' \
    "$port" "$mode" >"$work/$mode.qdl"
done
refresh() { "$here/scripts/wine-run.sh" "$cli" refresh --config "$work/$1.qdl" >"$work/out.txt" 2>&1; }
refresh Never && refresh Required  # the prefix warm, the certificate kept
rows=$(grep -c '^job' "$work/out.txt" || true)
[ "$rows" -eq "$jobs" ] || { echo "the TLS refresh showed $rows of $jobs jobs" >&2; exit 1; }
for _ in $(seq "$runs"); do
  for mode in Never Required; do
    start=$(date +%s%N)
    refresh "$mode"
    echo "$mode $(( ($(date +%s%N) - start) / 1000000 ))" >>"$work/times.txt"
  done
done
median() { awk -v m="$1" '$1 == m { print $2 }' "$work/times.txt" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
plain=$(median Never) tls=$(median Required)
echo "quenlo-cli.exe refresh under wine, $jobs jobs, median of $runs: plain $plain ms, TLS $tls ms ($((tls - plain)) ms more)"

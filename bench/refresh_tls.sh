#!/usr/bin/env bash
# A refresh of a private CUPS server's queue by quenlo-cli, plain and over TLS (encryption=Required),
# side by side in one run: the medians of RUNS whole refreshes each, wall and CPU, the runs of both
# kinds taken in turn. The program's start is in both; the difference is what TLS costs.
#
#   bench/refresh_tls.sh [--jobs N] [--runs R] [--on linux|wine]
#                        (defaults: 1000 held jobs, 7 runs, linux; wine: quenlo-cli.exe, SChannel)
#
# Needs build/ (scripts/build.sh) and, for wine, build-windows/ (scripts/build.sh windows).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=1000 runs=7 on=linux
. "$here/scripts/options.sh"
take_options '2,9p' jobs runs on -- "$@"
measured="$here/build/bench/run-measured"
case "$on" in
  linux) cli=("$here/build/cli/quenlo-cli") ;;
  wine) cli=("$here/scripts/wine-run.sh" "$here/build-windows/cli/quenlo-cli.exe")
        export WINEPREFIX=${WINEPREFIX:-$here/build-windows/wine} ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac
[ -x "${cli[-1]}" ] && [ -x "$measured" ] || { echo "build ${cli[-1]} and $measured first (scripts/build.sh)" >&2; exit 1; }
work=$(mktemp -d /tmp/quenlo-tls-bench.XXXXXX)
export XDG_CONFIG_HOME="$work/home"
port=""
cleanup() {
  [ -z "$port" ] || "${cli[@]}" trust --forget "127.0.0.1:$port" >/dev/null 2>&1 || true
  "$here/scripts/cups-lab.sh" stop "$work/lab" >/dev/null 2>&1 || true; rm -rf "$work"
}
trap cleanup EXIT

port=$("$here/scripts/cups-lab.sh" start "$work/lab" --owner $$)
"$here/scripts/cups-lab.sh" add-printer "$work/lab" Bench >/dev/null
"$here/scripts/cups-lab.sh" hold-jobs "$work/lab" Bench "$jobs" --fast >/dev/null
for mode in Never Required; do
  printf '<printer>\nname=Bench\nremotehost=127.0.0.1:%s\nurl=/printers/Bench\nlocalport=-1\nencryption=%s\n<endprinter>\n' \
    "$port" "$mode" >"$work/$mode.qdl"
done
refresh() { "$measured" "${cli[@]}" refresh --config "$work/$1.qdl" 2>"$work/measured.txt" >"$work/out.txt"; }
refresh Never && refresh Required  # warm, and the certificate kept
rows=$(grep -c '^job' "$work/out.txt" || true)
[ "$rows" -eq "$jobs" ] || { echo "the TLS refresh showed $rows of $jobs jobs" >&2; exit 1; }
for _ in $(seq "$runs"); do
  for mode in Never Required; do
    refresh "$mode"
    # run-measured: WALL_NS CPU_NS PEAK_RSS_KIB EXIT
    read -r wall cpu _ code < <(grep -o 'run-measured: .*' "$work/measured.txt" | tail -1 | cut -d' ' -f2-)
    [ "$code" -eq 0 ] || { echo "a $mode refresh failed (exit $code)" >&2; exit 1; }
    echo "$mode $((wall / 1000000)) $((cpu / 1000000))" >>"$work/times.txt"
  done
done
median() { awk -v m="$1" -v f="$2" '$1 == m { print $f }' "$work/times.txt" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
echo "quenlo-cli refresh on $on, $jobs jobs, medians of $runs: plain $(median Never 2) ms wall, $(median Never 3) ms CPU;" \
     "TLS $(median Required 2) ms wall, $(median Required 3) ms CPU"

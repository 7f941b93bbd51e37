#!/usr/bin/env bash
# Soak of the background watch: quenlo-cli watch at one look a second against a private CUPS server
# that is stopped and started again every few minutes, for a bounded time; at the end the watch's
# memory, descriptors and threads must be where they were after its first minute of warming up.
#
#   scripts/watch-soak.sh [--minutes M] [--cycle SECONDS] [--build DIR]
#
# Defaults: 60 minutes, the server down for 10 s every 180 s. The CI suite runs it for two minutes
# with a 30 s cycle. Exit 0 when nothing grew (memory within 512 KiB), 1 otherwise or when the
# watch ended early.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
minutes=60 cycle=180 build="$here/build"
. "$here/scripts/options.sh"
take_options '2,10p' minutes cycle build -- "$@"
cli="$build/cli/quenlo-cli"
[ -x "$cli" ] || { echo "watch-soak: build quenlo-cli first" >&2; exit 1; }
lab=$(mktemp -d /tmp/quenlo-watch-soak.XXXXXX)
watch_pid=""
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null && wait "$watch_pid" 2>/dev/null
  "$here/scripts/cups-lab.sh" stop "$lab" >/dev/null 2>&1 || true
  rm -rf "$lab"
}
trap cleanup EXIT
port=$("$here/scripts/cups-lab.sh" start "$lab" --owner $$)
for p in soak1 soak2; do "$here/scripts/cups-lab.sh" add-printer "$lab" "$p"; done
{
  echo "watch=1"
  for p in soak1 soak2; do
    printf '<printer>\nname=%s\nremotehost=127.0.0.1:%s\nurl=/printers/%s\nlocalport=-1\n<endprinter>\n' "$p" "$port" "$p"
  done
} >"$lab/printers.qdl"
"$cli" watch --config "$lab/printers.qdl" >"$lab/changes.txt" 2>&1 &
watch_pid=$!

sample() {
  local rss fds threads
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$watch_pid/status")
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$watch_pid/status")
  fds=$(ls "/proc/$watch_pid/fd" | wc -l)
  echo "$rss $fds $threads"
}

end=$((SECONDS + minutes * 60))
warm=$((SECONDS + (minutes > 2 ? 60 : 20)))
next_cycle=$((SECONDS + cycle))
start=""
while [ $SECONDS -lt $end ]; do
  kill -0 "$watch_pid" 2>/dev/null || { echo "watch-soak: the watch ended early" >&2; cat "$lab/changes.txt" >&2; exit 1; }
  # Samples are taken while the server is up, so both ends see the same kind of moment.
  if [ -z "$start" ] && [ $SECONDS -ge $warm ]; then start=$(sample); echo "start: rss ${start% * *} KiB, fds/threads ${start#* }"; fi
  if [ $SECONDS -ge $next_cycle ]; then
    "$here/scripts/cups-lab.sh" down "$lab"
    sleep 10
    "$here/scripts/cups-lab.sh" up "$lab"
    next_cycle=$((SECONDS + cycle))
  fi
  sleep 1
done
sleep 3
final=$(sample)
read -r rss0 fds0 threads0 <<<"$start"
read -r rss1 fds1 threads1 <<<"$final"
downs=$(grep -c $'\tred\t' "$lab/changes.txt" || true)
echo "end:   rss $rss1 KiB, fds $fds1, threads $threads1 (start $rss0 KiB, $fds0, $threads0); $downs red records"
[ "$downs" -ge 1 ] || { echo "watch-soak: no server stop was seen" >&2; exit 1; }
[ "$fds1" -le "$fds0" ] && [ "$threads1" -le "$threads0" ] && [ "$rss1" -le $((rss0 + 512)) ] || {
  echo "watch-soak: something grew" >&2; exit 1; }
echo "watch-soak: nothing grew"

#!/usr/bin/env bash
# The private CUPS server seen as another machine: run inside a network namespace of its own
# (unshare -n, as root), where lo carries 10.77.0.1 too, so the server sees the client as remote
# and nothing can leave the machine. A system account in lpadmin with a known password is made
# for the run and removed after it.
#
#   unshare -n tests/cli/remote-tls.sh QUENLO_CLI [--encrypt-printers]
#
# QUENLO_ENCRYPTION=WORD puts "encryption=WORD" into the entry (none by default).
# Refreshes, runs the six operations and one with a wrong password, with tcpdump recording
# the namespace's traffic; prints "name<TAB>value" lines for the test to judge and exits 0 when
# the run itself worked.
set -euo pipefail

cli=$1
shift
here=$(cd "$(dirname "$0")/../.." && pwd)
lab=$here/scripts/cups-lab.sh

ip link set lo up
ip addr add 10.77.0.1/8 dev lo

work=$(mktemp -d /tmp/quenlo-remote-tls.XXXXXX)
chmod 755 "$work"
user=qtls$$
pass="Pw-$RANDOM$RANDOM-tls"
dump=""
cleanup() {
  [ -z "$dump" ] || { kill "$dump" 2>/dev/null || true; wait "$dump" 2>/dev/null || true; }
  "$lab" stop "$work/lab" >/dev/null 2>&1 || true
  userdel "$user" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

useradd -M -N -G lpadmin -s /usr/sbin/nologin "$user"
echo "$user:$pass" | chpasswd

port=$("$lab" start "$work/lab" --stock --listen 10.77.0.1 "$@")
"$lab" add-printer "$work/lab" laser >/dev/null
"$lab" hold-jobs "$work/lab" laser 2 --user "$user" --title "Quarterly report" >/dev/null

tcpdump -i lo -U -s 0 -w "$work/capture.pcap" "tcp port $port" 2>"$work/tcpdump.err" &
dump=$!
for _ in $(seq 1 100); do grep -q "listening on" "$work/tcpdump.err" 2>/dev/null && break; sleep 0.05; done

write_file() {
  local key=""
  [ -z "${QUENLO_ENCRYPTION:-}" ] || key="encryption=$QUENLO_ENCRYPTION"$'\n'
  printf '<printer>\nname=laser\nremotehost=10.77.0.1:%s\nurl=/printers/laser\nlocalport=-1\nuser=%s\npass=%s\n%s<endprinter>\n' \
    "$port" "$user" "$1" "$key" >"$work/printers.qdl"
}
export XDG_CONFIG_HOME=$work/xdg
run() { timeout 60 "$cli" "$@" --config "$work/printers.qdl"; }

write_file "$pass"
refresh=$(run refresh) || { echo "refresh-failed"; echo "$refresh"; exit 1; }
printf 'refresh\t%s\n' "$(echo "$refresh" | tr '\n\t' '|,')"
jobs=$(echo "$refresh" | awk -F'\t' '$1 == "job" { print $2 }')
first=$(echo "$jobs" | head -1)
second=$(echo "$jobs" | sed -n 2p)
status=0
# Paused first, so that the released job waits to be held again instead of printing.
for op in pause-printer "release-job $first" "hold-job $first" "cancel-job $second" resume-printer purge-jobs; do
  # shellcheck disable=SC2086
  if out=$(run $op 2>&1); then printf 'op\t%s\tok\n' "${op%% *}"; else printf 'op\t%s\tfailed\t%s\n' "${op%% *}" "$(echo "$out" | tr '\n\t' '|,')"; status=1; fi
done

# Entries added from another machine are reached over TLS only.
add=$(timeout 60 "$cli" add "10.77.0.1:$port/printers/laser" --dry-run --config "$work/added.qdl" 2>&1 || true)
printf 'add\t%s\n' "$(echo "$add" | tr '\n\t' '|,')"

write_file "wrong-$pass"
wrong=$(run pause-printer 2>&1) && status=1
printf 'wrong\t%s\n' "$(echo "$wrong" | tr '\n\t' '|,')"

# A server without TLS (python's own) still answers an entry with credentials: after the
# refused handshake the request goes plain.
mkdir "$work/www" && echo "plain hello" >"$work/www/index.html"
python3 -m http.server 18631 --bind 10.77.0.1 --directory "$work/www" >/dev/null 2>&1 &
web=$!
for _ in $(seq 1 100); do (exec 3<>/dev/tcp/10.77.0.1/18631) 2>/dev/null && break; sleep 0.05; done
plain=$(timeout 30 "$cli" get --user "$user" --pass x http://10.77.0.1:18631/index.html 2>/dev/null || true)
kill "$web"; wait "$web" 2>/dev/null || true
printf 'plain-server\t%s\n' "$plain"

sleep 0.3
kill "$dump"
wait "$dump" 2>/dev/null || true
dump=""
printf 'captured\t%s\n' "$(stat -c %s "$work/capture.pcap")"
base64=$(printf '%s:%s' "$user" "$pass" | base64 -w0)
printf 'password-in-clear\t%s\n' "$(grep -a -c -F -e "$pass" -e "$base64" "$work/capture.pcap" || true)"
exit $status

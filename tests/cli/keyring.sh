#!/usr/bin/env bash
# Passwords in a real desktop keyring, with the private CUPS server as another machine
# (scripts/keyring-session.sh makes both):
#
#   unshare -n scripts/keyring-session.sh -- tests/cli/keyring.sh QUENLO_CLI
#
# Prints "name<TAB>value" lines for the test to judge; exits 0 when the run itself worked.
set -euo pipefail

cli=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$WORK
user=$USER_NAME
pass=$(cat "$work/secret")
lab=$here/scripts/cups-lab.sh
dump=""
finish() {
  [ -z "$dump" ] || { kill "$dump" 2>/dev/null || true; wait "$dump" 2>/dev/null || true; }
}
trap finish EXIT

port=${QUENLO_KEYRING_SERVER##*:}
"$lab" add-printer "$work/lab" laser >/dev/null
"$lab" hold-jobs "$work/lab" laser 2 --user "$user" --title "Quarterly report" >/dev/null
server=10.77.0.1:$port
tcpdump -i lo -U -s 0 -w "$work/capture.pcap" "tcp port $port" 2>"$work/tcpdump.err" &
dump=$!
for _ in $(seq 1 100); do grep -q "listening on" "$work/tcpdump.err" 2>/dev/null && break; sleep 0.05; done

line() { printf '%s\t%s\n' "$1" "$(printf '%s' "$2" | tr '\n\t' '|,')"; }

# No session bus: the clear text, and nothing stored.
out=$(printf '%s\n' "$pass" | env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=$work/none \
  timeout 60 "$cli" login "$server" --user "$user" --password-stdin 2>&1) && rc=0 || rc=$?
line no-store "$rc $out"

out=$(printf 'wrong-%s\n' "$pass" | timeout 60 "$cli" login "$server" --user "$user" --password-stdin 2>&1) && rc=0 || rc=$?
line login-wrong "$rc $out"
out=$(printf '%s\n' "$pass" | timeout 60 "$cli" login "$server" --user "$user" --password-stdin 2>&1) && rc=0 || rc=$?
line login "$rc $out"
line search "$(secret-tool search --all server "$server" user "$user" 2>&1 | grep -v '^secret = ')"
line list "$(timeout 60 "$cli" login --list 2>&1)"

printf '<printer>\nname=laser\nremotehost=%s\nurl=/printers/laser\nlocalport=-1\nuser=%s\n<endprinter>\n' \
  "$server" "$user" >"$work/printers.qdl"
run() { timeout 60 "$cli" "$@" --config "$work/printers.qdl"; }
refresh=$(run refresh 2>&1) && rc=0 || rc=$?
line refresh "$rc $refresh"
jobs=$(echo "$refresh" | awk -F'\t' '$1 == "job" { print $2 }')
first=$(echo "$jobs" | head -1)
second=$(echo "$jobs" | sed -n 2p)
for op in pause-printer "release-job $first" "hold-job $first" "cancel-job $second" resume-printer purge-jobs; do
  # shellcheck disable=SC2086
  out=$(run $op 2>&1) && rc=0 || rc=$?
  line "op-${op%% *}" "$rc $out"
done

# A watch that has looked holds the password while it runs: not in any process's arguments or
# environment.
timeout 120 "$cli" watch --seconds 10 --config "$work/printers.qdl" >"$work/watch.out" 2>&1 &
watch=$!
for _ in $(seq 1 2000); do [ -s "$work/watch.out" ] && break; sleep 0.05; done
exposed=0
for p in /proc/[0-9]*; do
  cat "$p/environ" "$p/cmdline" 2>/dev/null | grep -a -q -F -e "$pass" && exposed=$((exposed + 1))
done
kill "$watch" 2>/dev/null || true
wait "$watch" 2>/dev/null || true
line watch "$(head -1 "$work/watch.out")"
line in-processes "$exposed"

# add without --pass: asked (here on standard input), kept, no pass line in the file.
out=$(printf '%s\n' "$pass" | timeout 60 "$cli" add "$server/printers/laser" --user "$user" --config "$work/added.qdl" 2>&1) && rc=0 || rc=$?
line add "$rc $out"
line add-file-pass "$(grep -a -c '^pass=' "$work/added.qdl" || true)"

# Moving the passwords out of a UTF-16 file and a code page 1250 one: each loses its pass lines
# and nothing else. The gateway entry keeps its own.
python3 - "$work" "$server" <<'PY'
import sys
work, server = sys.argv[1], sys.argv[2]
def entry(name, host, user, password, gateway=False):
    return ("<printer>\r\nname=%s\r\nremotehost=%s\r\nurl=/printers/laser\r\nlocalport=%s\r\nuser=%s\r\n"
            "%s" "comment=Első emelet, lépcső mellett\r\n<endprinter>\r\n") % (
        name, host, "9101" if gateway else "-1", user, "pass=%s\r\n" % password if password else "")
for kind, encode in (("utf16", lambda t: b"\xff\xfe" + t.encode("utf-16-le")),
                     ("cp1250", lambda t: t.encode("cp1250"))):
    head = "; Irodai nyomtatók\r\n<global>\r\nproxy=10.77.0.9\r\nproxyuser=px\r\nproxypass=Ppw-%s\r\n<endglobal>\r\n" % kind
    full = head + entry("a", "moved-%s.example:631" % kind, "anna", "Apw-%s-ő" % kind) + \
        entry("g", "gw-%s.example:631" % kind, "gabor", "Gpw", gateway=True)
    want = "; Irodai nyomtatók\r\n<global>\r\nproxy=10.77.0.9\r\nproxyuser=px\r\n<endglobal>\r\n" + \
        entry("a", "moved-%s.example:631" % kind, "anna", None) + \
        entry("g", "gw-%s.example:631" % kind, "gabor", "Gpw", gateway=True)
    open("%s/%s.qdl" % (work, kind), "wb").write(encode(full))
    open("%s/%s.want" % (work, kind), "wb").write(encode(want))
PY
for kind in utf16 cp1250; do
  chmod 600 "$work/$kind.qdl"
  out=$(timeout 60 "$cli" config --move-passwords --config "$work/$kind.qdl" 2>&1) && rc=0 || rc=$?
  line "move-$kind" "$rc $out"
  cmp -s "$work/$kind.qdl" "$work/$kind.want" && same=same || same=differs
  line "move-$kind-bytes" "$same $(stat -c %a "$work/$kind.qdl")"
  line "move-$kind-kept" "$(secret-tool lookup server "moved-$kind.example:631" user anna) $(secret-tool lookup server 10.77.0.9:80 user px)"
done

out=$(timeout 60 "$cli" logout "$server" --user "$user" 2>&1) && rc=0 || rc=$?
line logout "$rc $out"
line search-after "$(secret-tool search --all server "$server" user "$user" 2>&1 | grep -c '^label' || true)"
out=$(run pause-printer 2>&1) && rc=0 || rc=$?
line after-logout "$rc $out"

# A locked keyring whose unlock prompt cannot be shown (there is no display here): the clear text,
# at once.
gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets \
  --method org.freedesktop.Secret.Service.Lock "['/org/freedesktop/secrets/collection/login']" >/dev/null
out=$(printf '%s\n' "$pass" | timeout 60 "$cli" login "$server" --user "$user" --password-stdin 2>&1) && rc=0 || rc=$?
line locked "$rc $out"

sleep 0.3
kill "$dump"
wait "$dump" 2>/dev/null || true
dump=""
base64=$(printf '%s:%s' "$user" "$pass" | base64 -w0)
line password-in-clear "$(grep -a -c -F -e "$pass" -e "$base64" "$work/capture.pcap" || true)"
line file-pass "$(cat "$work"/*.qdl | grep -a -c -F "$pass" || true)"

#!/usr/bin/env bash
# The Windows build under wine: the cross-built suites (ctest in build-windows/), then quenlo-cli.exe
# against real peers that this script starts on Linux, on 127.0.0.1: the private CUPS (refresh, also
# at [::1], and a job and a printer command, compared with the Linux quenlo-cli against the same server),
# tinyproxy (a GET through the proxy), the same server over TLS (SChannel: refresh, the certificate
# kept and a changed one refused, CONNECT), and for the suites dante and microsocks and the CUPS
# server over TLS; that no DLL planted
# beside the programs is loaded; then the window on a desktop (scripts/wine-window.sh). Needs build/
# (Linux) and build-windows/.
#   scripts/wine-test.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. "$root/scripts/harness.sh"
use_wine_prefix "$root"
run_wine=(timeout 120 scripts/wine-run.sh)
linux_cli=build/cli/quenlo-cli
win_cli=build-windows/cli/quenlo-cli.exe

work=$(mktemp -d /tmp/quenlo-wine-XXXXXX)
lab="$work/cups"
proxy_pid="" xvfb_pid="" first_pid="" socks_pids=""
cleanup() {
  scripts/cups-lab.sh stop "$lab" >/dev/null 2>&1 || true
  for pid in $first_pid $proxy_pid $xvfb_pid $socks_pids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
listening() { for _ in $(seq 100); do nc -z 127.0.0.1 "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# The SOCKS servers the socket suite goes through (tests/net/socks_real_test.cpp, and SChannel in
# tests/win/tls_win_test.cpp): dante without authentication and with user names only, microsocks
# without and with a user name and password.
chmod 777 "$work"  # the proxies drop to "nobody" as root and log here
dante_port=$(free_port)
timeout 900 scripts/harness.sh dante "$work" "$dante_port" >"$work/danted.out" 2>&1 &
socks_pids="$socks_pids $!"
mkdir -m 777 "$work/dante-user"
dante_user_port=$(free_port)
timeout 900 scripts/harness.sh dante "$work/dante-user" "$dante_user_port" username >"$work/dante-user/danted.out" 2>&1 &
socks_pids="$socks_pids $!"
microsocks_port=$(free_port)
timeout 900 scripts/harness.sh microsocks "$microsocks_port" >/dev/null 2>&1 &
socks_pids="$socks_pids $!"
microsocks_auth_port=$(free_port)
timeout 900 scripts/harness.sh microsocks "$microsocks_auth_port" quenlo s3cret >/dev/null 2>&1 &
socks_pids="$socks_pids $!"
for p in "$dante_port" "$dante_user_port" "$microsocks_port" "$microsocks_auth_port"; do
  listening "$p" || echo "wine-test: no SOCKS server on port $p" >&2
done
export QUENLO_WINE_DANTE_PORT=$dante_port QUENLO_WINE_DANTE_USER_PORT=$dante_user_port QUENLO_WINE_MICROSOCKS_PORT=$microsocks_port
export QUENLO_WINE_MICROSOCKS_AUTH_PORT=$microsocks_auth_port

# The private CUPS server, for the suites (over TLS) and for quenlo-cli.exe below. The SHA-256 of
# its certificate as the Linux build reads it: SChannel under wine must see the same.
port=$(scripts/cups-lab.sh start "$lab" --owner $$)
# The program core's suite has a printer of its own, which it pauses and resumes.
scripts/cups-lab.sh add-printer "$lab" Wine-Core >/dev/null
scripts/cups-lab.sh hold-jobs "$lab" Wine-Core 2 --user anna >/dev/null
export QUENLO_WINE_CORE_PRINTER=Wine-Core
scripts/cups-lab.sh add-printer "$lab" Wine-Laser >/dev/null
scripts/cups-lab.sh hold-jobs "$lab" Wine-Laser 3 --user wine >/dev/null
cat >"$work/printers.qdl" <<QDL
<printer>
name=Wine-Laser
remotehost=127.0.0.1:$port
url=/printers/Wine-Laser
localport=-1
comment=the private CUPS, seen from wine
<endprinter>
QDL
fingerprint=$(XDG_CONFIG_HOME="$work/linux-config" "$linux_cli" trust "127.0.0.1:$port" | awk -F'\t' '{ sub(/^SHA-256 /, "", $2); print $2 }')
export QUENLO_WINE_CUPS_PORT=$port QUENLO_WINE_CUPS_PRINTER=Wine-Laser QUENLO_WINE_CUPS_FINGERPRINT=$fingerprint

echo "== Windows suites under wine"
scripts/ctest-checked.sh build-windows --output-on-failure -j 2 --timeout 300 -L windows
passed=0 failed=0
check() {  # check NAME COMMAND...: one line per check, counted
  if "${@:2}"; then echo "ok   $1"; passed=$((passed + 1)); else echo "FAIL $1"; failed=$((failed + 1)); fi
}

echo "== quenlo-cli.exe against real peers on 127.0.0.1"
# Both programs read the same file. The creation time is written in each system's own user
# format (Linux "12/08/26 18:11:24", wine's default user "12/8/2026 6:11:24 PM"): it is compared
# apart from the rest of the row.
without_time() { sed -E 's/\t[^\t]*$//' "$1"; }
refresh_same() {
  "$linux_cli" refresh --config "$work/printers.qdl" >"$work/linux.txt" 2>&1 || true
  "${run_wine[@]}" "$win_cli" refresh --config "$work/printers.qdl" 2>&1 | tr -d '\r' >"$work/wine.txt" || true
  grep -q "^job" "$work/wine.txt" && diff -u <(without_time "$work/linux.txt") <(without_time "$work/wine.txt") &&
    grep '^job' "$work/wine.txt" | grep -qE '[[:space:]][0-9]{1,2}/[0-9]{1,2}/[0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} (AM|PM)$'
}
check "refresh shows the same labels, lamps and rows as on Linux" refresh_same
# The same server named by its IPv6 address: the same rows.
ipv6_same() {
  sed "s/^remotehost=127.0.0.1:/remotehost=[::1]:/" "$work/printers.qdl" >"$work/printers6.qdl"
  "${run_wine[@]}" "$win_cli" refresh --config "$work/printers6.qdl" 2>&1 | tr -d '\r' >"$work/wine6.txt" || true
  grep -q "^job" "$work/wine6.txt" && diff -u <(without_time "$work/wine.txt") <(without_time "$work/wine6.txt")
}
check "refresh reaches the server at [::1] with the same rows" ipv6_same
# The same file saved as UTF-16 (Notepad's "Unicode") in a folder named outside the ANSI code page
# (the path reaches the program through its wide command line): read as its UTF-8 copy.
utf16_same() {
  local dir="$work/Nyomtató ő"
  mkdir -p "$dir"
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$work/printers.qdl"; } >"$dir/printers.qdl"
  LANG=C.UTF-8 "${run_wine[@]}" "$win_cli" refresh --config "$dir/printers.qdl" 2>&1 | tr -d '\r' >"$work/wine16.txt" || true
  grep -q "^job" "$work/wine16.txt" && diff -u <(without_time "$work/wine.txt") <(without_time "$work/wine16.txt")
}
check "a UTF-16 copy in a folder named outside the code page reads as the UTF-8 file" utf16_same
job=$(awk -F'\t' '$1 == "job" { print $2; exit }' "$work/linux.txt" || true)
job=${job:-1}
wine_cli() { "${run_wine[@]}" "$win_cli" "$@" 2>&1 | tr -d '\r'; }
linux_refresh() { "$linux_cli" refresh --config "$work/printers.qdl" 2>&1; }
# The server as the Linux program reads it, true only when it reached the printer: an answer
# without the printer line never passes for a released job.
server_read() { linux_refresh >"$work/server.txt" && grep -qP '^printer\t' "$work/server.txt"; }
released() {
  wine_cli release-job "$job" --config "$work/printers.qdl" >/dev/null || true
  server_read && ! grep -qP "^job\t$job\t.*pending-held" "$work/server.txt"
}
paused() {
  wine_cli pause-printer --config "$work/printers.qdl" >/dev/null || true
  server_read && grep -P '^printer\t' "$work/server.txt" | grep -qv 'idle, accepting jobs'
}
check "release-job from Windows changes the server" released
check "pause-printer from Windows stops the printer" paused

# The password kept in wine's credential store (its registry, not Windows' vault): login keeps it
# (the server asks for none on /admin/, so unchecked), an entry with only a user refreshes with
# it, --list names the server and user and never the password, logout forgets it.
kept_password() {
  sed 's/^comment=.*/&\nuser=wineuser/' "$work/printers.qdl" >"$work/printers-user.qdl"
  printf 'wine-secret-7\n' | "${run_wine[@]}" "$win_cli" login "127.0.0.1:$port" --user wineuser --password-stdin 2>&1 |
    tr -d '\r' | grep -q 'kept as "Quenlo: wineuser@127.0.0.1:' &&
    wine_cli login --list | grep -qxP "127\\.0\\.0\\.1:$port\twineuser" &&
    ! wine_cli login --list | grep -q 'wine-secret-7' &&
    wine_cli refresh --config "$work/printers-user.qdl" | grep -q '^printer' &&
    wine_cli logout "127.0.0.1:$port" --user wineuser | grep -q 'removed' &&
    ! wine_cli login --list | grep -q wineuser
}
check "login keeps the password in the credential store, refresh uses it, logout forgets it" kept_password

pport=$(free_port)
timeout 300 scripts/harness.sh tinyproxy "$work" "$pport" >/dev/null 2>&1 &
proxy_pid=$!
listening "$pport" || true
through_proxy() {
  wine_cli get "http://127.0.0.1:$port/printers/Wine-Laser" --proxy "127.0.0.1:$pport" --timeout 20 |
    grep -q 'HTTP 200' && grep -q 'CONNECT\|GET\|Request' "$work/tinyproxy.log"
}
check "GET through tinyproxy" through_proxy

# Over TLS by SChannel: the entry with encryption=Required shows the rows the Linux program reads
# plainly, and the certificate kept on first use is the one Linux reads. Once the server has made
# itself a new certificate it is refused, naming both, until `trust` accepts it. An https:// URL
# goes through tinyproxy's CONNECT.
key=127.0.0.1:$port
sed 's/^comment=.*/&\nencryption=Required/' "$work/printers.qdl" >"$work/printers-tls.qdl"
tls_refresh() { "${run_wine[@]}" "$win_cli" refresh --config "$work/printers-tls.qdl" 2>&1 | tr -d '\r'; }
linux_trust() { XDG_CONFIG_HOME="$work/linux-config" "$linux_cli" trust "$key" | awk -F'\t' '{ sub(/^SHA-256 /, "", $2); print $2 }'; }
tls_refresh_same() {
  wine_cli trust --forget "$key" >/dev/null || true
  linux_refresh >"$work/linux-now.txt" || true
  tls_refresh >"$work/wine-tls.txt" || true
  grep -q '^job' "$work/wine-tls.txt" && diff -u <(without_time "$work/linux-now.txt") <(without_time "$work/wine-tls.txt") &&
    [ -n "$fingerprint" ] && wine_cli trust --list | grep -qxF "$key	$fingerprint"
}
check "refresh over TLS (encryption=Required): the same rows, the certificate kept on first use" tls_refresh_same
changed_refused() {
  scripts/cups-lab.sh down "$lab" >/dev/null
  rm -f "$lab"/etc/ssl/*
  scripts/cups-lab.sh up "$lab" >/dev/null
  local rc=0 now
  tls_refresh >"$work/wine-changed.txt" || rc=$?
  now=$(linux_trust)
  [ "$rc" -ne 0 ] && [ -n "$now" ] && [ "$now" != "$fingerprint" ] &&
    grep -qF "has changed and is not trusted: kept SHA-256 $fingerprint, now SHA-256 $now" "$work/wine-changed.txt" &&
    grep -qF "quenlo-cli trust $key" "$work/wine-changed.txt" &&
    wine_cli trust "$key" | grep -qF "$now" && tls_refresh | grep -q '^job'
}
check "a new certificate of the server is refused, naming both, until trust accepts it" changed_refused
tls_through_proxy() {
  wine_cli get "https://$key/printers/Wine-Laser" --proxy "127.0.0.1:$pport" --timeout 20 >"$work/tunnel.txt" || true
  grep -q 'HTTP 200' "$work/tunnel.txt" && grep -q 'CONNECT' "$work/tinyproxy.log" ||
    { tail -n 3 "$work/tunnel.txt" "$work/tinyproxy.log"; false; }
}
check "https:// through tinyproxy's CONNECT" tls_through_proxy
# A body framed by the close over TLS is whole when the server's close_notify ends it, and cut
# short when a bare close does (an attacker's FIN looks the same). The server, one connection
# each, waits for the client's close_notify after sending its own, as some servers do.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/ending.pem" \
  -out "$work/ending.pem.crt" -subj /CN=127.0.0.1 -days 2 2>/dev/null
cat "$work/ending.pem.crt" >>"$work/ending.pem"
cat >"$work/ending.py" <<'PY'
import socket, ssl, sys
pem, ready, mode = sys.argv[1:4]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(pem)
server = socket.create_server(("127.0.0.1", 0))
server.settimeout(60)
with open(ready + ".tmp", "w") as f:
    f.write(str(server.getsockname()[1]))
import os; os.rename(ready + ".tmp", ready)
conn, _ = server.accept()
conn.settimeout(30)
tls = context.wrap_socket(conn, server_side=True)
request = b""
while b"\r\n\r\n" not in request:
    piece = tls.recv(4096)
    if not piece:
        break
    request += piece
tls.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + b"the whole answer\n" * 200)
if mode == "close-notify":
    try:
        tls.unwrap()
    except (OSError, ssl.SSLError):
        pass
else:
    tls.shutdown(socket.SHUT_RDWR)
tls.close()
PY
tls_ending() {  # MODE: what `get` says of a body the server ends so
  rm -f "$work/ending.port"
  timeout 90 python3 "$work/ending.py" "$work/ending.pem" "$work/ending.port" "$1" &
  local server=$! rc=0
  harness_wait 20 test -s "$work/ending.port" || { kill "$server"; return 1; }
  wine_cli get "https://127.0.0.1:$(cat "$work/ending.port")/" --timeout 20 >"$work/ending-$1.txt" || rc=$?
  wait "$server" || true
  echo "exit $rc" >>"$work/ending-$1.txt"
}
tls_close_notify_ends() {
  tls_ending close-notify && grep -q 'HTTP 200' "$work/ending-close-notify.txt" &&
    [ "$(grep -c 'the whole answer' "$work/ending-close-notify.txt")" -eq 200 ] &&
    grep -qx 'exit 0' "$work/ending-close-notify.txt" || { tail -n 3 "$work/ending-close-notify.txt"; false; }
}
tls_bare_close_cuts() {
  tls_ending bare-close && grep -q 'without TLS close_notify' "$work/ending-bare-close.txt" &&
    ! grep -qx 'exit 0' "$work/ending-bare-close.txt" || { tail -n 3 "$work/ending-bare-close.txt"; false; }
}
check "a close-framed body over TLS ended by close_notify is whole" tls_close_notify_ends
check "a close-framed body over TLS cut by a bare close is a failure" tls_bare_close_cuts

# DLLs planted beside the programs are never loaded: stand-ins of wsock32.dll, COMCTL32.dll and of
# the TLS libraries secur32.dll and crypt32.dll that leave a mark when loaded sit beside copies of
# both programs, and quenlo-cli.exe fetches a page over TLS. wine prefers its own copy of a
# system DLL wherever the file is found; "n,b" makes it load the file the search finds, as Windows
# does (a program that loads them by bare name is caught by this).
no_planted_dll() {
  local dir="$work/planted"
  mkdir -p "$dir"
  cp build-windows/winapp/quenlo.exe "$win_cli" build-windows/tests/{wsock32,comctl32,secur32,crypt32}.dll "$dir/"
  local -x WINEDLLOVERRIDES="mscoree,mshtml=;wsock32,comctl32,secur32,crypt32=n,b"
  local run=(timeout 120 "$root/scripts/wine-run.sh") rc=0
  (cd "$dir" && "${run[@]}" ./quenlo.exe) || rc=1  # no printers file there: ends at once
  (cd "$dir" && "${run[@]}" ./quenlo-cli.exe get "https://$key/printers/Wine-Laser" --timeout 20 2>&1) |
    grep -q 'HTTP 200' || rc=1
  # The window above made wine's desktop without a display: the next windows need a new one.
  timeout 60 wineserver -w || true
  ls "$dir"/*.loaded 2>/dev/null && rc=1
  return "$rc"
}
check "no wsock32.dll, COMCTL32.dll, secur32.dll or crypt32.dll planted beside the programs is loaded" no_planted_dll
wine_cli trust --forget "$key" >/dev/null || true

# The window's own tests (tests/winapp) need a display: a private Xvfb of their own.
form_tests() {
  local rc=0
  start_xvfb "$work" || return 1
  DISPLAY=$XVFB_DISPLAY scripts/ctest-checked.sh build-windows --output-on-failure -j 1 --timeout 120 -L winapp || rc=$?
  kill "$XVFB_PID" 2>/dev/null || true
  wait "$XVFB_PID" 2>/dev/null || true
  return "$rc"
}
check "the window's form tests under wine on Xvfb" form_tests

# Two instances of the window: the second has the first one's window shown and ends with 0 before
# the 10 s it would wait for the first one's mutex (scripts/wine-window.sh sees the window back).
second_shows_first() {
  [ -x build-windows/winapp/quenlo.exe ] || return 1
  start_xvfb "$work" || return 1
  xvfb_pid=$XVFB_PID
  export DISPLAY=$XVFB_DISPLAY
  (cd "$work" && exec timeout 120 "$root/scripts/wine-run.sh" "$root/build-windows/winapp/quenlo.exe") &
  first_pid=$!
  sleep 8  # the first instance is up and holds the mutex
  local start rc=0
  start=$(date +%s)
  (cd "$work" && timeout 60 "$root/scripts/wine-run.sh" "$root/build-windows/winapp/quenlo.exe") || rc=$?
  local took=$(( $(date +%s) - start ))
  echo "     second instance: exit $rc after ${took}s"
  kill -0 "$first_pid" 2>/dev/null && [ "$rc" -eq 0 ] && [ "$took" -lt 10 ]
}
check "a second window shows the first and exits 0 before 10 s" second_shows_first

# The first window and its display are done with before the desktop test starts its own.
for pid in $first_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
for pid in $first_pid $xvfb_pid; do wait "$pid" 2>/dev/null || true; done
first_pid="" xvfb_pid=""
unset DISPLAY
echo "== the window on a desktop"
check "the window under wine on Xvfb, openbox and trayer" scripts/wine-window.sh

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

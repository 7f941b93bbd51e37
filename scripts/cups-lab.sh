#!/usr/bin/env bash
# A private CUPS server on 127.0.0.1 (and [::1], same port) for the tests and the demo.
#
# Everything the server needs lives under one lab directory: its configuration, spool, cache, state
# and logs. The system's own /etc/cups, its socket and port 631 are never touched or used.
#
#   scripts/cups-lab.sh start DIR [--auth|--stock] [--owner PID] [--log-all] [--listen ADDR]
#                             [--encrypt-printers] [--stock-limits] [--history|--history-only]
#                                              start cupsd on a free port; prints the port
#                                              (--owner: stop it, too, when process PID ends;
#                                              --log-all: every request in log/access_log, with its
#                                              operation and status, not only the changes;
#                                              --listen: also on ADDR, open to clients from ADDR,
#                                              with lpadmin a system group; --encrypt-printers:
#                                              "Encryption Required" on /printers;
#                                              --stock-limits: the server's own limits on jobs and
#                                              clients, see below; --history: finished jobs
#                                              stay listed with their files, so they can be
#                                              printed again; --history-only: listed, files not
#                                              kept)
#   scripts/cups-lab.sh port DIR               prints the port of a running lab
#   scripts/cups-lab.sh add-printer DIR NAME [INFO] [--device URI]
#                                              add a raw queue printing to /dev/null (or to URI:
#                                              "lab-says:/" is the lab's own backend, below);
#                                              INFO: its printer-info, the description
#   scripts/cups-lab.sh add-class DIR CLASS PRINTER    put PRINTER into the class CLASS
#   scripts/cups-lab.sh print DIR PRINTER FILE  print FILE at once
#   scripts/cups-lab.sh hold-jobs DIR PRINTER COUNT [--user U] [--size BYTES] [--title T] [--fast]
#                                              queue COUNT held jobs (--fast: Print-Job requests over
#                                              keep-alive connections, for thousands of jobs;
#                                              documents are BYTES long, 1024 by default;
#                                              titled T, or "job N" counting from 1)
#   scripts/cups-lab.sh pause DIR PRINTER MESSAGE   stop the printer with a state message
#   scripts/cups-lab.sh resume DIR PRINTER          start it again
#   scripts/cups-lab.sh cancel-all DIR PRINTER      cancel every job of the printer
#   scripts/cups-lab.sh move-jobs DIR FROM TO       move every job of printer FROM to printer TO
#   scripts/cups-lab.sh down DIR               stop the server but keep the lab (port, printers, jobs)
#   scripts/cups-lab.sh up DIR                 start a lab taken down again, on the same port
#   scripts/cups-lab.sh stop DIR               stop the server this script started in DIR
#
# Default mode: every operation is open to anonymous clients on 127.0.0.1 (pause, resume, purge,
# cancel, hold and release included), job names and users are public, the web interface is on.
# --auth: the job and printer operations and /admin need Basic credentials, so an anonymous client
# is refused with HTTP 401 Unauthorized. Jobs can still be queued and listed anonymously.
# --stock: the operation policy a freshly installed server has: jobs and subscriptions belong to
# the user who made them (Get-Notifications, Renew-Subscription and Cancel-Subscription only for
# their owner), job names and users are private, printer operations need an administrator.
# --stock-limits (with any mode): the limits a freshly installed server has (500 jobs, 100 clients,
# 100 subscriptions) instead of the lab's raised ones (jobs and clients without a limit that
# matters), for measuring what a client leaves of them to the others.
#
# The web interface's "/admin/?op=stop-printer&printer_name=NAME" (and start-printer) requests are
# not known to this server version: they answer 200 with an "Unknown operation" page and change
# nothing (401 with --auth).
#
# The lab's server programs are its own directory (ServerBin, under /tmp where the server's own user
# reaches it even when the lab lies in a private folder): links to the system's, and
# beside its backends the lab's own "lab-says", which prints nothing but tells the scheduler what a
# printer would: each line of the job's document is written to its standard error as it is
# ("STATE: +media-jam-error", "ATTR: marker-levels=5"), except "sleep SECONDS" and "wait PATH"
# (until PATH exists, at most 120 s), so a test holds the job printing while it looks.
#
# The script's own administration (adding printers, pausing) goes over a private local socket in
# the lab directory, where the server knows the caller from the socket itself; it works in both
# modes.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
access_log_level=actions
extra_listen=""
encrypt_printers=0
stock_limits=0
job_history="PreserveJobHistory No"

die() { echo "cups-lab: $*" >&2; exit 1; }
usage() {
  sed -n '7,47p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

need_tools() {
  for t in cupsd lpadmin lp cupsdisable cupsenable; do
    command -v "$t" >/dev/null 2>&1 || [ -x "/usr/sbin/$t" ] ||
      die "$t is not installed (Debian packages cups, cups-client, cups-bsd)"
  done
  export PATH="$PATH:/usr/sbin"
}

lab_dir() {
  [ -n "${1:-}" ] || usage
  mkdir -p "$1"
  (cd "$1" && pwd)
}

# The server's private socket: in the lab directory when the path is short enough for a socket
# address, otherwise in a private directory under /tmp whose name is kept in the lab.
socket_path() {
  local dir=$1
  if [ -f "$dir/socket-path" ]; then cat "$dir/socket-path"; return; fi
  local s="$dir/cups.sock"
  if [ ${#s} -gt 100 ]; then
    s="$(mktemp -d /tmp/cups-lab.XXXXXX)/cups.sock"
  fi
  echo "$s" >"$dir/socket-path"
  echo "$s"
}

server_of() {
  local dir=$1
  [ -f "$dir/port" ] || die "no lab running in $dir"
  cat "$dir/socket-path"
}

free_port() {
  if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
    return
  fi
  # Without python: a random high port that nothing answers on.
  local p i
  for i in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  die "no free port found"
}

running() {
  local dir=$1
  [ -f "$dir/cupsd.pid" ] || return 1
  local pid
  pid=$(cat "$dir/cupsd.pid")
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null &&
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- "$dir/etc/cupsd.conf"
}

answers() {
  curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$1/" 2>/dev/null
}

write_files_conf() {
  local dir=$1
  local group
  {
    echo "ServerRoot $dir/etc"
    echo "RequestRoot $dir/spool"
    echo "TempDir $dir/spool/tmp"
    echo "CacheDir $dir/cache"
    echo "StateDir $dir/state"
    echo "ErrorLog $dir/log/error_log"
    echo "AccessLog $dir/log/access_log"
    echo "PageLog $dir/log/page_log"
    echo "Printcap $dir/state/printcap"
    echo "LogFilePerm 0644"
    echo "FileDevice Yes"
    echo "ServerBin $(server_bin_path "$dir")"
    echo "PeerCred on"
    if [ "$(id -u)" -eq 0 ]; then
      echo "User lp"
      echo "Group lp"
      # A remote client proves itself with the password of a system account in lpadmin.
      if [ -n "$extra_listen" ]; then echo "SystemGroup root lpadmin"; else echo "SystemGroup root"; fi
    else
      group=$(id -gn)
      echo "SystemGroup $group"
    fi
  } >"$dir/etc/cups-files.conf"
}

# The lab's limits, unless --stock-limits leaves the server's own (MaxSubscriptions is never raised).
raised_limits() {
  [ "$stock_limits" = 1 ] && return 0
  cat <<'EOF'
MaxJobs 0
MaxJobsPerPrinter 0
MaxJobsPerUser 0
MaxClients 500
MaxClientsPerHost 500
EOF
}

# Every operation open to 127.0.0.1 and to the private socket.
open_limit() {
  cat <<'EOF'
    Order allow,deny
    Allow from 127.0.0.1
    Allow from localhost
EOF
  [ -z "$extra_listen" ] || echo "    Allow from $extra_listen"
}

write_cupsd_conf() {
  local dir=$1 port=$2 sock=$3 auth=$4
  local guarded="Cancel-Job Cancel-Jobs Cancel-My-Jobs Hold-Job Release-Job Restart-Job Purge-Jobs \
Set-Job-Attributes CUPS-Move-Job Pause-Printer Resume-Printer Enable-Printer Disable-Printer \
Pause-Printer-After-Current-Job Hold-New-Jobs Release-Held-New-Jobs CUPS-Accept-Jobs \
CUPS-Reject-Jobs CUPS-Add-Modify-Printer CUPS-Delete-Printer CUPS-Set-Default"
  {
    cat <<EOF
LogLevel info
AccessLogLevel $access_log_level
MaxLogSize 0
Listen 127.0.0.1:$port
Listen [::1]:$port
$([ -z "$extra_listen" ] || echo "Listen $extra_listen:$port")
Listen $sock
ServerAlias *
HostNameLookups Off
Browsing No
BrowseLocalProtocols none
DefaultShared No
WebInterface Yes
DefaultAuthType Basic
ErrorPolicy retry-job
$(raised_limits)
MaxHoldTime 0
$job_history
JobRetryInterval 3600
<Location />
$(open_limit)
</Location>
EOF
    if [ "$encrypt_printers" = 1 ]; then
      printf '<Location /printers>\n  Encryption Required\n%s\n</Location>\n' "$(open_limit)"
    fi
    if [ "$auth" = stock ]; then
      stock_policy
    elif [ "$auth" = 1 ]; then
      cat <<EOF
<Location /admin>
  AuthType Basic
  Require valid-user
$(open_limit)
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit $guarded>
    AuthType Default
    Require user @SYSTEM
$(open_limit)
  </Limit>
  <Limit All>
$(open_limit)
  </Limit>
</Policy>
EOF
    else
      cat <<EOF
<Location /admin>
$(open_limit)
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
$(open_limit)
  </Limit>
</Policy>
EOF
    fi
  } >"$dir/etc/cupsd.conf"
}

# The default policy of a freshly installed server, with the lab's listeners kept open to
# 127.0.0.1. The lab's own administration still works: it goes over the private socket, where the
# server knows the caller as a member of the system group.
stock_policy() {
  local owned="Send-Document Send-URI Hold-Job Release-Job Restart-Job Purge-Jobs \
Set-Job-Attributes Create-Job-Subscription Renew-Subscription Cancel-Subscription Get-Notifications \
Reprocess-Job Cancel-Current-Job Suspend-Current-Job Resume-Job Cancel-My-Jobs Close-Job \
CUPS-Move-Job CUPS-Get-Document"
  local admin="CUPS-Add-Modify-Printer CUPS-Delete-Printer CUPS-Add-Modify-Class CUPS-Delete-Class \
CUPS-Set-Default CUPS-Get-Devices Pause-Printer Resume-Printer Enable-Printer Disable-Printer \
Pause-Printer-After-Current-Job Hold-New-Jobs Release-Held-New-Jobs Deactivate-Printer \
Activate-Printer Restart-Printer Shutdown-Printer Startup-Printer Promote-Job Schedule-Job-After \
Cancel-Jobs CUPS-Accept-Jobs CUPS-Reject-Jobs"
  cat <<EOF
<Location /admin>
  AuthType Default
  Require user @SYSTEM
$(open_limit)
</Location>
<Policy default>
  JobPrivateAccess default
  JobPrivateValues default
  SubscriptionPrivateAccess default
  SubscriptionPrivateValues default
  <Limit Create-Job Print-Job Print-URI Validate-Job>
    Order deny,allow
  </Limit>
  <Limit $owned>
    Require user @OWNER @SYSTEM
    Order deny,allow
  </Limit>
  <Limit $admin>
    AuthType Default
    Require user @SYSTEM
    Order deny,allow
  </Limit>
  <Limit Cancel-Job CUPS-Authenticate-Job>
    Require user @OWNER @SYSTEM
    Order deny,allow
  </Limit>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
}

# Raw queues: any document is accepted and sent on unchanged.
write_mime_files() {
  local dir=$1
  echo "application/octet-stream" >"$dir/etc/raw.types"
  printf 'application/octet-stream\tapplication/vnd.cups-raw\t0\t-\n' >"$dir/etc/raw.convs"
}

# The lab's ServerBin, made on first use; its path is kept in the lab.
server_bin_path() {
  local dir=$1
  if [ ! -f "$dir/server-bin" ]; then
    mktemp -d /tmp/cups-lab-bin.XXXXXX >"$dir/server-bin"
  fi
  cat "$dir/server-bin"
}

remove_server_bin() {
  local dir=$1 bin
  [ -f "$dir/server-bin" ] || return 0
  bin=$(cat "$dir/server-bin")
  case "$bin" in /tmp/cups-lab-bin.*) rm -rf "$bin" ;; esac
  rm -f "$dir/server-bin"
}

# The system's server programs, and the lab's own backend beside its backends.
write_server_bin() {
  local dir=$1 system=/usr/lib/cups entry bin
  bin=$(server_bin_path "$dir")
  mkdir -p "$bin/backend"
  for entry in "$system"/*; do
    [ "$(basename "$entry")" = backend ] || ln -s "$entry" "$bin/"
  done
  for entry in "$system"/backend/*; do
    ln -s "$entry" "$bin/backend/"
  done
  cat >"$bin/backend/lab-says" <<'EOF'
#!/bin/sh
# Without arguments a backend lists the devices it finds: none.
[ $# -ge 5 ] || exit 0
doc=${6:-/dev/stdin}
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in
    "sleep "*) sleep "${line#sleep }" ;;
    "wait "*)
      i=0
      while [ ! -e "${line#wait }" ] && [ $i -lt 1200 ]; do sleep 0.1; i=$((i + 1)); done ;;
    *) printf '%s\n' "$line" >&2 ;;
  esac
done <"$doc"
exit 0
EOF
  chmod 0755 "$bin" "$bin/backend"
  # Owner only: the server runs it as root then (not as lp), so it reads files in private folders.
  chmod 0700 "$bin/backend/lab-says"
}

# Stops the lab when its owner ends without stopping it (a crashed test program, for example).
start_watcher() {
  local dir=$1 owner=$2 pid=$3
  (
    trap '' HUP INT
    while kill -0 "$owner" 2>/dev/null && kill -0 "$pid" 2>/dev/null; do sleep 1; done
    exec "$here/cups-lab.sh" stop "$dir"
  ) </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/watcher.pid"
}

# lab_running DIR: the tools are there and the lab in DIR runs, or the script ends.
lab_running() {
  need_tools
  running "$1" || die "no lab running in $1"
}

cmd_start() {
  local dir auth=0 owner=""
  dir=$(lab_dir "${1:-}")
  shift || true
  while [ $# -gt 0 ]; do
    case "$1" in
      --auth) auth=1 ;;
      --stock) auth=stock ;;
      --owner) owner=${2:-}; [[ "$owner" =~ ^[0-9]+$ ]] || usage; shift ;;
      --log-all) access_log_level=all ;;
      --listen) extra_listen=${2:-}; [ -n "$extra_listen" ] || usage; shift ;;
      --encrypt-printers) encrypt_printers=1 ;;
      --stock-limits) stock_limits=1 ;;
      --history) job_history=$'PreserveJobHistory Yes\nPreserveJobFiles Yes' ;;
      --history-only) job_history=$'PreserveJobHistory Yes\nPreserveJobFiles No' ;;
      *) usage ;;
    esac
    shift
  done
  need_tools
  if running "$dir"; then
    die "a lab is already running in $dir (port $(cat "$dir/port"))"
  fi
  rm -rf "$dir/etc" "$dir/spool" "$dir/cache" "$dir/state" "$dir/log" "$dir/port" "$dir/cupsd.pid" \
    "$dir/socket-path" "$dir/owner"
  mkdir -p "$dir/etc/ppd" "$dir/etc/ssl" "$dir/spool/tmp" "$dir/cache" "$dir/state" "$dir/log"
  if [ "$(id -u)" -eq 0 ]; then
    # The server hands the spool to lp; it must be able to reach it.
    chmod 755 "$dir"
    chown -R root:lp "$dir/spool" "$dir/cache" "$dir/state"
    chmod 0710 "$dir/spool"
    chmod 1770 "$dir/spool/tmp"
  fi
  local sock
  sock=$(socket_path "$dir")
  rm -f "$sock"
  remove_server_bin "$dir"
  write_files_conf "$dir"
  write_mime_files "$dir"
  write_server_bin "$dir"

  # The port is chosen free just before the server binds it; if another program takes it in
  # between, the server fails to listen and we try another.
  local attempt port pid
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    write_cupsd_conf "$dir" "$port" "$sock" "$auth"
    cupsd -f -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" \
      </dev/null >>"$dir/log/cupsd.out" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/cupsd.pid"
    local i
    for i in $(seq 1 150); do
      if ! kill -0 "$pid" 2>/dev/null; then break; fi
      # Taken port: the server goes on with its other listener, so give up on this one at once.
      if grep -q "Unable to open listen socket for address 127.0.0.1:$port" "$dir/log/error_log" \
        2>/dev/null; then break; fi
      if answers "$port" && [ -S "$sock" ]; then
        echo "$port" >"$dir/port"
        echo "$auth" >"$dir/auth"
        if [ -n "$owner" ]; then
          echo "$owner" >"$dir/owner"
          start_watcher "$dir" "$owner" "$pid"
        fi
        echo "$port"
        return 0
      fi
      sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -f "$dir/cupsd.pid"
  done
  echo "cups-lab: cupsd did not start; its log follows" >&2
  tail -n 20 "$dir/log/error_log" "$dir/log/cupsd.out" >&2 2>/dev/null || true
  exit 1
}

cmd_port() {
  local dir
  dir=$(lab_dir "${1:-}")
  running "$dir" || die "no lab running in $dir"
  cat "$dir/port"
}

cmd_add_printer() {
  local dir name device=file:///dev/null info=()
  dir=$(lab_dir "${1:-}")
  name=${2:-}
  [ -n "$name" ] || usage
  shift 2
  while [ $# -gt 0 ]; do
    case "$1" in
      --device) device=${2:?}; shift ;;
      -*) usage ;;
      *) [ ${#info[@]} -eq 0 ] || usage; info=(-D "$1") ;;
    esac
    shift
  done
  lab_running "$dir"
  lpadmin -h "$(server_of "$dir")" -p "$name" -v "$device" -E "${info[@]}" \
    -o printer-error-policy=retry-job 2>&1 | grep -v -i 'deprecated' >&2 || true
  lpstat -h "$(server_of "$dir")" -p "$name" >/dev/null 2>&1 || die "printer $name was not added"
}

cmd_add_class() {
  local dir class printer
  dir=$(lab_dir "${1:-}")
  class=${2:-}
  printer=${3:-}
  [ -n "$class" ] && [ -n "$printer" ] || usage
  lab_running "$dir"
  lpadmin -h "$(server_of "$dir")" -p "$printer" -c "$class" 2>&1 | grep -v -i 'deprecated' >&2 || true
  cupsenable -h "$(server_of "$dir")" "$class" >/dev/null 2>&1 || true
  cupsaccept -h "$(server_of "$dir")" "$class" >/dev/null 2>&1 || true
  lpstat -h "$(server_of "$dir")" -c "$class" >/dev/null 2>&1 || die "class $class was not made"
}

cmd_hold_jobs() {
  local dir printer count user="" size=1024 title="" fast=0
  dir=$(lab_dir "${1:-}")
  printer=${2:-}
  count=${3:-}
  [ -n "$printer" ] && [[ "$count" =~ ^[0-9]+$ ]] || usage
  shift 3
  while [ $# -gt 0 ]; do
    case "$1" in
      --user) user=${2:?}; shift ;;
      --size) size=${2:?}; shift ;;
      --title) title=${2:?}; shift ;;
      --fast) fast=1 ;;
      *) usage ;;
    esac
    shift
  done
  # The server refuses empty documents.
  [[ "$size" =~ ^[0-9]+$ ]] && [ "$size" -gt 0 ] || die "--size takes a number of bytes, at least 1"
  running "$dir" || die "no lab running in $dir"
  local port
  port=$(cat "$dir/port")
  if [ "$fast" = 1 ]; then
    local args=(--port "$port" --printer "$printer" --count "$count" --size "$size")
    [ -n "$user" ] && args+=(--user "$user")
    [ -n "$title" ] && args+=(--title "$title")
    python3 "$here/cups-lab-jobs.py" "${args[@]}"
    return
  fi
  need_tools
  local doc
  doc=$(mktemp "$dir/lab-doc.XXXXXX")
  head -c "$size" /dev/zero | tr '\0' 'x' >"$doc"
  local i opts=(-h "127.0.0.1:$port" -d "$printer" -H hold)
  [ -n "$user" ] && opts+=(-U "$user")
  for ((i = 1; i <= count; i++)); do
    lp "${opts[@]}" -t "${title:-job $i}" -- "$doc" >/dev/null
  done
  rm -f "$doc"
}

cmd_print() {
  local dir printer file
  dir=$(lab_dir "${1:-}")
  printer=${2:-}
  file=${3:-}
  [ -n "$printer" ] && [ -f "$file" ] || usage
  lab_running "$dir"
  lp -h "127.0.0.1:$(cat "$dir/port")" -d "$printer" -- "$file" >/dev/null
}

cmd_pause() {
  local dir printer message
  dir=$(lab_dir "${1:-}")
  printer=${2:-}
  message=${3:-}
  [ -n "$printer" ] || usage
  lab_running "$dir"
  cupsdisable -h "$(server_of "$dir")" -r "$message" "$printer"
}

cmd_resume() {
  local dir printer
  dir=$(lab_dir "${1:-}")
  printer=${2:-}
  [ -n "$printer" ] || usage
  lab_running "$dir"
  cupsenable -h "$(server_of "$dir")" "$printer"
}

# A process that has ended but is not yet reaped (no init to reap orphans in some containers)
# counts as gone.
alive() {
  kill -0 "$1" 2>/dev/null || return 1
  local state
  state=$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null || true)
  [ "$state" != "Z" ]
}

# Everything in the lab is thrown away at the next start, so a server that takes long to save
# thousands of jobs is not waited for beyond five seconds.
end_server() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 1 50); do
    alive "$pid" || break
    sleep 0.1
  done
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    for i in $(seq 1 50); do
      alive "$pid" || break
      sleep 0.1
    done
  fi
}

# The server alone goes; its port, configuration, printers and jobs stay for "up".
cmd_down() {
  local dir
  dir=$(lab_dir "${1:-}")
  running "$dir" || die "no lab running in $dir"
  # The owner's watcher would take the ended server for a finished lab.
  if [ -f "$dir/watcher.pid" ]; then
    kill "$(cat "$dir/watcher.pid")" 2>/dev/null || true
    rm -f "$dir/watcher.pid"
  fi
  end_server "$(cat "$dir/cupsd.pid")"
  rm -f "$dir/cupsd.pid"
}

# Starts the server of a lab taken down with "down" again, on the same port.
cmd_up() {
  local dir
  dir=$(lab_dir "${1:-}")
  need_tools
  [ -f "$dir/port" ] || die "no lab in $dir"
  running "$dir" && die "the lab in $dir is running"
  local port sock pid i
  port=$(cat "$dir/port")
  sock=$(cat "$dir/socket-path")
  rm -f "$sock"
  cupsd -f -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" </dev/null >>"$dir/log/cupsd.out" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/cupsd.pid"
  for i in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || break
    if answers "$port" && [ -S "$sock" ]; then
      [ -f "$dir/owner" ] && start_watcher "$dir" "$(cat "$dir/owner")" "$pid"
      return 0
    fi
    sleep 0.1
  done
  die "cupsd did not start again on port $port"
}

# Cancels every job of a printer one by one, as a user would (a purge of the queue tells
# subscribers nothing).
cmd_cancel_all() {
  local dir printer
  dir=$(lab_dir "${1:-}")
  printer=${2:-}
  [ -n "$printer" ] || usage
  lab_running "$dir"
  local server job
  server=$(server_of "$dir")
  for job in $(lpstat -h "$server" -o "$printer" | awk '{ print $1 }'); do
    cancel -h "$server" "$job"
  done
}

cmd_move_jobs() {
  local dir from to
  dir=$(lab_dir "${1:-}")
  from=${2:-} to=${3:-}
  [ -n "$from" ] && [ -n "$to" ] || usage
  lab_running "$dir"
  command -v lpmove >/dev/null 2>&1 || die "lpmove is not installed (Debian package cups-client)"
  lpmove -h "$(server_of "$dir")" "$from" "$to"
}

cmd_stop() {
  local dir
  dir=$(lab_dir "${1:-}")
  if running "$dir"; then
    end_server "$(cat "$dir/cupsd.pid")"
  fi
  local sock=""
  [ -f "$dir/socket-path" ] && sock=$(cat "$dir/socket-path")
  rm -f "$dir/cupsd.pid" "$dir/port"
  remove_server_bin "$dir"
  if [ -n "$sock" ]; then
    rm -f "$sock"
    case "$sock" in /tmp/cups-lab.*/cups.sock) rmdir "$(dirname "$sock")" 2>/dev/null || true ;; esac
  fi
  # The watcher, unless it is the one stopping the lab (then it is our parent and ends with us).
  if [ -f "$dir/watcher.pid" ]; then
    local watcher
    watcher=$(cat "$dir/watcher.pid")
    rm -f "$dir/watcher.pid"
    if [ -n "$watcher" ] && [ "$watcher" != "$PPID" ] && [ "$watcher" != "$$" ]; then
      # Waited for: a caller that looks for the lab's processes right after must not find the
      # watcher still ending.
      end_server "$watcher"
    fi
  fi
  # A lab directory made only for one run (by the test fixture) goes with the server.
  if [ -f "$dir/.remove-on-stop" ]; then
    rm -rf "$dir"
  fi
  return 0
}

sub=${1:-}
shift || true
case "$sub" in
  start) cmd_start "$@" ;;
  port) cmd_port "$@" ;;
  add-printer) cmd_add_printer "$@" ;;
  add-class) cmd_add_class "$@" ;;
  hold-jobs) cmd_hold_jobs "$@" ;;
  print) cmd_print "$@" ;;
  pause) cmd_pause "$@" ;;
  resume) cmd_resume "$@" ;;
  stop) cmd_stop "$@" ;;
  down) cmd_down "$@" ;;
  up) cmd_up "$@" ;;
  cancel-all) cmd_cancel_all "$@" ;;
  move-jobs) cmd_move_jobs "$@" ;;
  *) usage ;;
esac

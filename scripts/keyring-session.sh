#!/usr/bin/env bash
# Another machine's CUPS server and a private desktop keyring, for the tests of passwords kept in
# the keyring instead of the printers file.
#
#   unshare -n scripts/keyring-session.sh -- COMMAND [ARG...]
#
# Inside the network namespace the caller made (nothing leaves it): lo up carrying 10.77.0.1; a
# system account in lpadmin with a random password; the private CUPS server (scripts/cups-lab.sh
# --stock) listening on 10.77.0.1 too, so it sees its client as remote; a private session bus with
# its own Secret Service (a keyring daemon started unlocked, its keyring in this run's folder); the
# server logs every request (--log-all). Then
# COMMAND, whose exit code it returns, with this environment:
#   HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR   folders of this run
#   DBUS_SESSION_BUS_ADDRESS    the private bus
#   WORK                        the run's folder (removed at the end)
#   USER_NAME                   the account; its password is in "$WORK/secret", never in an
#                               environment or a process's arguments
#   QUENLO_CUPS_LAB             the lab folder (for scripts/cups-lab.sh add-printer, hold-jobs, ...)
#   QUENLO_KEYRING_SERVER       10.77.0.1:PORT, the server as the client names it
# Everything is stopped and removed when COMMAND ends; the whole run is bounded to 300 s.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ "${1:-}" = -- ] || { sed -n '5p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
shift

if [ -z "${QUENLO_KEYRING_INNER:-}" ]; then
  . "$here/harness.sh"
  require_tools keyring-session "gnome-keyring, libsecret-tools, dbus" gnome-keyring-daemon secret-tool \
    dbus-run-session useradd
  ip link set lo up
  ip addr add 10.77.0.1/8 dev lo
  work=$(mktemp -d /tmp/quenlo-keyring.XXXXXX)
  chmod 755 "$work"
  user=qkey$$
  pass="Pw-$RANDOM$RANDOM-key"
  cleanup() {
    "$here/cups-lab.sh" stop "$work/lab" >/dev/null 2>&1 || true
    userdel "$user" >/dev/null 2>&1 || true
    rm -rf "$work"
  }
  trap cleanup EXIT
  useradd -M -N -G lpadmin -s /usr/sbin/nologin "$user"
  echo "$user:$pass" | chpasswd
  mkdir -p "$work/home" "$work/run"
  chmod 700 "$work/run"
  # The password reaches the inner run through a file, never its environment or arguments.
  printf '%s' "$pass" >"$work/secret"
  port=$("$here/cups-lab.sh" start "$work/lab" --stock --log-all --listen 10.77.0.1)
  QUENLO_KEYRING_INNER=1 HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config \
    XDG_RUNTIME_DIR=$work/run WORK=$work USER_NAME=$user QUENLO_CUPS_LAB=$work/lab \
    QUENLO_KEYRING_SERVER=10.77.0.1:$port \
    timeout 300 dbus-run-session -- "$0" -- "$@" 2> >(grep -v -e "fd limit" -e "Activat" >&2)
  exit $?
fi

eval "$(printf 'keyring-pass\n' | gnome-keyring-daemon --unlock --components=secrets)"
keyring_pid=${GNOME_KEYRING_PID:-}
trap '[ -z "$keyring_pid" ] || kill "$keyring_pid" 2>/dev/null || true' EXIT
"$@"

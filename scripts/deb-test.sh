#!/usr/bin/env bash
# Installs the Debian package on this machine as a user would, runs it, and removes it again.
#
#   scripts/deb-test.sh build-deb/quenlo_VERSION_ARCH.deb
#
# Checks: apt installs it with its Depends; the menu entry and the autostart entry pass
# desktop-file-validate and name a program and an icon that are installed (hicolor 32x32 and
# 48x48); `quenlo-cli config` finds a printers file in a fresh home; the installed window starts
# under Xvfb on that file and ends cleanly on SIGTERM, writing nothing into the home; the menu
# entry's own command in a home without a printers file brings the explaining box (a screenshot in
# artifacts/first-start.png beside the package) and ends with 0 once it is closed, and after
# `quenlo-cli add` against a private CUPS server the same command shows the window (after-add.png);
# `apt-get purge`
# leaves no file or folder of the package behind. The manual pages and the AppStream metainfo are
# installed, and the exporter's systemd unit, which `systemd-analyze verify` passes without a remark
# and which installing does not enable.
#
# Needs root (or sudo), apt-get, Xvfb, xwininfo and desktop-file-validate. Exit 77 (skipped) when
# one is missing, or when a package named quenlo is installed already (it is never removed by this
# test); under CI=true both are failures.
set -euo pipefail

deb=${1:?usage: deb-test.sh PACKAGE.deb}
[ -f "$deb" ] || { echo "deb-test: no package at $deb" >&2; exit 1; }
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

. "$(dirname "$0")/harness.sh"
skip() { harness_skip deb-test "$*"; }
fail() { echo "deb-test: FAIL: $*" >&2; exit 1; }

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then sudo=sudo; else
    skip "installing a package needs root or password-less sudo"
  fi
fi
require_tools deb-test "apt, xvfb, x11-utils, desktop-file-utils" \
  apt-get dpkg Xvfb xwininfo desktop-file-validate xdotool python3
if dpkg-query -W -f='${Status}' quenlo 2>/dev/null | grep -q 'installed'; then
  skip "a package quenlo is installed already; remove it first (this test will not)"
fi

work=$(mktemp -d /tmp/quenlo-deb.XXXXXX)
installed="" xvfb_pid="" quenlo_pid=""
cleanup() {
  [ -n "$quenlo_pid" ] && kill "$quenlo_pid" 2>/dev/null && wait "$quenlo_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  [ -n "$installed" ] && $sudo apt-get purge -y -qq quenlo >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive

echo "-- install $(basename "$deb")"
# From a copy the apt sandbox user may read.
cp "$deb" "$work/" && chmod 755 "$work" && chmod 644 "$work/$(basename "$deb")"
$sudo apt-get install -y -qq --no-install-recommends "$work/$(basename "$deb")" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install"; }
installed=1
mapfile -t owned < <(dpkg -L quenlo)

echo "-- installed files"
for f in /usr/bin/quenlo /usr/bin/quenlo-cli /usr/share/applications/quenlo.desktop \
         /usr/share/icons/hicolor/32x32/apps/quenlo.png /usr/share/icons/hicolor/48x48/apps/quenlo.png \
         /usr/share/quenlo/autostart/quenlo.desktop /usr/share/man/man1/quenlo.1.gz \
         /usr/share/man/man1/quenlo-cli.1.gz /usr/share/man/man5/printers.qdl.5.gz \
         /usr/share/metainfo/invalid.dorvane.Quenlo.metainfo.xml \
         /usr/share/doc/quenlo/copyright /usr/share/doc/quenlo/changelog.gz \
         /lib/systemd/system/quenlo-exporter.service; do
  [ -e "$f" ] || fail "$f is not installed"
done
echo "-- the exporter's unit"
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify /lib/systemd/system/quenlo-exporter.service >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; fail "systemd-analyze verify quenlo-exporter.service"; }
  [ ! -s "$work/verify.log" ] || { cat "$work/verify.log" >&2; fail "systemd-analyze verify has remarks"; }
fi
[ ! -e /etc/systemd/system/multi-user.target.wants/quenlo-exporter.service ] ||
  fail "installing the package enabled the exporter"
for entry in /usr/share/applications/quenlo.desktop /usr/share/quenlo/autostart/quenlo.desktop; do
  desktop-file-validate "$entry" || fail "$entry does not validate"
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [ "$(command -v "$exec_name")" = /usr/bin/quenlo ] || fail "$entry starts '$exec_name', not the installed window"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  for size in 32 48; do
    png=/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    python3 -c "import struct,sys; d=open(sys.argv[1],'rb').read(24); sys.exit(0 if d[:8]==b'\x89PNG\r\n\x1a\n' and struct.unpack('>II',d[16:24])==($size,$size) else 1)" "$png" ||
      fail "$entry: icon $icon is not a ${size}x${size} PNG in hicolor"
  done
done
grep -q '^Comment\[hu\]=' /usr/share/applications/quenlo.desktop || fail "the menu entry has no Hungarian comment"

echo "-- quenlo-cli config in a fresh home"
home="$work/home"
mkdir -p "$home/.config/Dorvane/Quenlo" "$work/run"
chmod 700 "$work/run"
printf '<printer>\nname=Iroda\nremotehost=127.0.0.1:9\nurl=/printers/Iroda\nlocalport=-1\n<endprinter>\n' \
  >"$home/.config/Dorvane/Quenlo/printers.qdl"
before=$(cd "$home" && find . | sort)
user_env=(env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$work/run" LANG=C.UTF-8)
config=$(cd "$work" && "${user_env[@]}" quenlo-cli config) || fail "quenlo-cli config exited $?"
[ "$(sed -n 1p <<<"$config")" = "$home/.config/Dorvane/Quenlo/printers.qdl" ] ||
  fail "quenlo-cli config found: $(sed -n 1p <<<"$config")"
sed -n 2p <<<"$config" | grep -q "^Iroda	" || fail "quenlo-cli config lists: $(sed -n 2p <<<"$config")"

echo "-- the window under Xvfb"
start_xvfb "$work" || fail "Xvfb did not start"
xvfb_pid=$XVFB_PID display=$XVFB_DISPLAY
# No session bus: the desktop's tray protocol has nothing to find here.
(cd "$work" && exec "${user_env[@]}" DISPLAY="$display" \
   DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" quenlo) >"$work/quenlo.log" 2>&1 &
quenlo_pid=$!
window=$(wait_quenlo_window "$display" "$quenlo_pid")
[ -n "$window" ] || { cat "$work/quenlo.log" >&2; fail "the installed window did not appear"; }
sleep 1.5
kill -0 "$quenlo_pid" 2>/dev/null || { cat "$work/quenlo.log" >&2; fail "the window ended by itself"; }
kill -TERM "$quenlo_pid"
status=0
for _ in $(seq 1 100); do kill -0 "$quenlo_pid" 2>/dev/null || break; sleep 0.1; done
wait "$quenlo_pid" || status=$?
quenlo_pid=""
[ "$status" -eq 0 ] || { cat "$work/quenlo.log" >&2; fail "the window exited $status on SIGTERM"; }
after=$(cd "$home" && find . | sort)
[ "$before" = "$after" ] || fail "the program wrote into the home: $(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')"

echo "-- the menu entry's command in a home without a printers file"
# What the menu starts, word for word: a box says where the file was looked for and how to add
# printers, and the program waits for it, then ends with 0.
menu_exec=$(sed -n 's/^Exec=//p' /usr/share/applications/quenlo.desktop)
fresh="$work/fresh"
mkdir -p "$fresh"
fresh_env=(env -i PATH=/usr/bin:/bin HOME="$fresh" XDG_RUNTIME_DIR="$work/run" LANG=C.UTF-8)
# shellcheck disable=SC2086 # the entry's command line is split into words as the desktop splits it
(cd "$work" && exec "${fresh_env[@]}" DISPLAY="$display" \
   DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" $menu_exec) >"$work/menu.log" 2>&1 &
quenlo_pid=$!
box=$(wait_quenlo_window "$display" "$quenlo_pid")
[ -n "$box" ] || { cat "$work/menu.log" >&2; fail "started from the menu without a file, nothing appeared"; }
grep -q "quenlo-cli add" "$work/menu.log" || { cat "$work/menu.log" >&2; fail "the box does not name quenlo-cli add"; }
sleep 1
kill -0 "$quenlo_pid" 2>/dev/null || fail "the program ended before the box was read"
artifacts=$(dirname "$deb")/artifacts
mkdir -p "$artifacts"
command -v import >/dev/null 2>&1 && DISPLAY="$display" import -window root "$artifacts/first-start.png" 2>/dev/null || true
DISPLAY="$display" xdotool windowactivate --sync "$box" key --clearmodifiers Return 2>/dev/null ||
  DISPLAY="$display" xdotool key --window "$box" Return 2>/dev/null || true
status=0
for _ in $(seq 1 100); do kill -0 "$quenlo_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$quenlo_pid" 2>/dev/null && kill -TERM "$quenlo_pid"
wait "$quenlo_pid" || status=$?
quenlo_pid=""
[ "$status" -eq 0 ] || { cat "$work/menu.log" >&2; fail "after the box the program exited $status"; }
[ -z "$(cd "$fresh" && find . -mindepth 1)" ] || fail "the box wrote into the home"

echo "-- quenlo-cli add, then the menu entry's command shows the printers"
lab_script=$(cd "$(dirname "$0")" && pwd)/cups-lab.sh
if lab_port=$("$lab_script" start "$work/lab" --owner $$ 2>"$work/lab.log"); then
  lab_dir="$work/lab"
  "$lab_script" add-printer "$lab_dir" Iroda "Első emelet" >/dev/null
  (cd "$work" && "${fresh_env[@]}" quenlo-cli add "127.0.0.1:$lab_port") >"$work/add.log" 2>&1 ||
    { cat "$work/add.log" >&2; fail "quenlo-cli add"; }
  [ -f "$fresh/.config/Dorvane/Quenlo/printers.qdl" ] || fail "quenlo-cli add wrote no file in the per-user folder"
  # shellcheck disable=SC2086
  (cd "$work" && exec "${fresh_env[@]}" DISPLAY="$display" \
     DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" $menu_exec) >"$work/menu.log" 2>&1 &
  quenlo_pid=$!
  window=$(wait_quenlo_window "$display" "$quenlo_pid")
  [ -n "$window" ] || { cat "$work/menu.log" >&2; fail "with the added printers, no window"; }
  sleep 1.5
  kill -0 "$quenlo_pid" 2>/dev/null || { cat "$work/menu.log" >&2; fail "with the added printers the window ended"; }
  ! grep -q "quenlo-cli add" "$work/menu.log" || fail "with the added printers the box still came"
  command -v import >/dev/null 2>&1 && DISPLAY="$display" import -window root "$artifacts/after-add.png" 2>/dev/null || true
  kill -TERM "$quenlo_pid"
  status=0
  wait "$quenlo_pid" || status=$?
  quenlo_pid=""
  [ "$status" -eq 0 ] || fail "the window exited $status on SIGTERM"
  "$lab_script" stop "$lab_dir" >/dev/null 2>&1 || true
else
  cat "$work/lab.log" >&2
  [ "${CI:-}" = "true" ] && fail "the private CUPS server did not start"
  echo "-- skipped: the private CUPS server did not start"
fi

echo "-- purge"
$sudo apt-get purge -y -qq quenlo >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge"; }
installed=""
if dpkg-query -W -f='${Status}' quenlo 2>/dev/null | grep -q 'installed'; then fail "still installed after purge"; fi
left=()
for path in "${owned[@]}"; do
  [ "$path" = "/." ] && continue
  if [ -d "$path" ]; then
    # A folder stays only while another package owns it too (a link to one as well: Debian 12's
    # merged /lib is a link to usr/lib).
    [ -e "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1 && left+=("$path")
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+=("$path")
  fi
done
[ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
echo "deb-test: installed, ran and removed cleanly (${#owned[@]} paths)"

#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that the build, the tests, the benchmarks and the
# demo need, when it is missing. Runs as root (or through sudo) on a Debian 12 machine; a machine
# that already has everything is left alone and nothing is downloaded.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git ccache
  # TLS to print servers
  libgnutls28-dev
  # tests, benchmarks and fuzzing
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # CPU burners beside the suite, so a test that passes only on a quiet machine shows
  # (scripts/loaded-suite.sh)
  stress-ng
  # the window
  qt6-base-dev libgl-dev
  # real peers for tests and the demo
  cups cups-client cups-ipp-utils cups-bsd libcups2-dev
  tinyproxy dante-server microsocks python3 tcpdump
  # JSON output is checked by two real parsers: jq and python3's json
  jq
  # the exporter is scraped by a real Prometheus and its text checked by promtool and by
  # python3's strict OpenMetrics parser; the check's output is read by the Monitoring Plugins'
  # own perl parser
  prometheus python3-prometheus-client libmonitoring-plugin-perl
  xvfb x11-apps x11-utils xauth curl procps iproute2 netcat-openbsd
  fonts-dejavu-core imagemagick
  # the installed package's menu and autostart entries are checked by the real validator
  desktop-file-utils
  # the package's own checks: lintian, the AppStream validator, and man to render the manual pages
  lintian appstream man-db
  # real desktops for the window's tests and the refresh benchmark: window managers, a notification
  # area, real input and a private session bus for the desktop's tray protocol
  openbox trayer icewm xdotool dbus-x11
  # a real Wayland desktop: sway headless (with XWayland) and waybar's tray, the mako notification
  # daemon, grim for screenshots, Qt's Wayland platform, and libwayland to build the test's pointer
  sway waybar mako-notifier grim xwayland qt6-wayland libwayland-dev
  # ippeveprinter will not start without a discovery daemon: the test fixture runs its own
  dbus avahi-daemon
  # passwords in the desktop's keyring: libsecret to build, and a real Secret Service (and its own
  # command-line tool) for the tests
  libsecret-1-dev gnome-keyring libsecret-tools
  # the Windows build (mingw-w64, posix threads) and its tests under wine
  g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo=sudo; else
    echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages that ship services (cups, tinyproxy, danted) must not start them system-wide: the
# tests and the demo start their own private instances on 127.0.0.1.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod +x "$policy"
  made_policy=1
fi
trap '[ $made_policy -eq 1 ] && $sudo rm -f "$policy"' EXIT
# Another apt run holding the lock (an unattended upgrade, a second script) is waited for.
apt_wait=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${apt_wait[@]}" update -qq
$sudo apt-get "${apt_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"

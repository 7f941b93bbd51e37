#!/usr/bin/env bash
# Packs an installed tree into a Debian package with dpkg-deb (the `package-deb` target runs it).
#
#   cmake/linux/make-deb.sh BUILD_DIR VERSION   ->  BUILD_DIR/quenlo_VERSION_ARCH.deb
#
# BUILD_DIR must be configured with CMAKE_INSTALL_PREFIX=/usr (scripts/build.sh deb does that).
# Depends comes from the libraries the programs link (dpkg-shlibdeps, else a fixed list of the
# same), plus the Qt platform plugins the window loads at run time without linking them.
set -euo pipefail
build=$(cd "${1:?usage: make-deb.sh BUILD_DIR VERSION}" && pwd)
version=${2:?usage: make-deb.sh BUILD_DIR VERSION}
umask 022

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || { echo "make-deb: $build installs into '$prefix', not /usr" >&2; exit 1; }

stage="$build/deb-root"
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" --strip >/dev/null
arch=$(dpkg --print-architecture)
programs=("$stage"/usr/bin/*)

depends=""
if command -v dpkg-shlibdeps >/dev/null 2>&1; then
  # dpkg-shlibdeps wants a source package around it; a two-stanza one is enough.
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir "$scratch/debian"
  printf 'Source: quenlo\n\nPackage: quenlo\nArchitecture: any\n' >"$scratch/debian/control"
  depends=$(cd "$scratch" && dpkg-shlibdeps -O "${programs[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
fi
if [ -z "$depends" ]; then
  depends="libc6, libgcc-s1, libstdc++6"
  [ -e "$stage/usr/bin/quenlo" ] && depends="$depends, libqt6core6, libqt6gui6, libqt6widgets6"
fi
[ -e "$stage/usr/bin/quenlo" ] && depends="$depends, qt6-qpa-plugins"
# GnuTLS is loaded by the first TLS session and libsecret by the first use of the keyring, not
# linked, so the library scan cannot see them.
depends="$depends, libgnutls30, libsecret-1-0"
# The window runs natively on Wayland only with Qt's Wayland platform; without it, it runs under
# XWayland, which keeps its place at the corner.
recommends=""
[ -e "$stage/usr/bin/quenlo" ] && recommends="Recommends: qt6-wayland"

# Debian keeps manual pages and the changelog compressed, without a time stamp in the gzip header.
find "$stage/usr/share/man" -type f -name '*.[15]' -exec gzip -9n {} +
[ -f "$stage/usr/share/doc/quenlo/changelog" ] && gzip -9n "$stage/usr/share/doc/quenlo/changelog"

mkdir "$stage/DEBIAN"
(cd "$stage" && find usr lib -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
cat >"$stage/DEBIAN/control" <<CONTROL
Package: quenlo
Version: $version
Architecture: $arch
Maintainer: Dorvane <quenlo@dorvane.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends${recommends:+
$recommends}
Section: utils
Priority: optional
Description: monitor and remote control for IPP printers
 Quenlo watches a fixed list of IPP printers from a small always-on-top
 window that lives in the notification area: whether each printer answers,
 its state and its queue of jobs. Jobs can be cancelled, held and released,
 printers paused, resumed and purged. The window's texts are Hungarian.
 .
 quenlo-cli runs the same monitor from the command line.
CONTROL

rm -f "$build"/quenlo_*.deb
out="$build/quenlo_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$out" >/dev/null
echo "$out"

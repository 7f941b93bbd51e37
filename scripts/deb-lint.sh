#!/usr/bin/env bash
# Checks the Debian package as a distribution would, without installing it:
#
#   scripts/deb-lint.sh build-deb/quenlo_VERSION_ARCH.deb
#
# lintian reports no error and no warning; the AppStream metainfo passes `appstreamcli validate
# --no-net` without an error or a warning; the programs' manual pages render with `man -l` without
# a warning and have their SYNOPSIS and EXIT STATUS, and so does printers.qdl(5), with its keys.
#
# Exit 77 (skipped) when lintian, appstreamcli or man is missing; under CI=true that fails.
set -euo pipefail
deb=${1:?usage: deb-lint.sh PACKAGE.deb}
[ -f "$deb" ] || { echo "deb-lint: no package at $deb" >&2; exit 1; }

. "$(dirname "$0")/harness.sh"
skip() { harness_skip deb-lint "$*"; }
fail() { echo "deb-lint: FAIL: $*" >&2; exit 1; }

require_tools deb-lint "lintian, appstream, man-db" lintian appstreamcli man dpkg-deb

work=$(mktemp -d /tmp/quenlo-deb-lint.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "-- lintian"
# Tags of the classes error and warning only; information and pedantic notes are not failures.
lintian --fail-on error,warning --display-level '>=warning' "$deb" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian"; }
cat "$work/lintian.log"

dpkg-deb -x "$deb" "$work/root"

echo "-- appstreamcli validate --no-net"
metainfo=("$work"/root/usr/share/metainfo/*.metainfo.xml)
[ -f "${metainfo[0]}" ] || fail "no metainfo in the package"
appstreamcli validate --no-net --explain "${metainfo[@]}" >"$work/appstream.log" 2>&1 ||
  { cat "$work/appstream.log" >&2; fail "appstreamcli validate"; }
if grep -E '^(E|W):' "$work/appstream.log" >&2; then fail "appstreamcli has errors or warnings"; fi

echo "-- man -l"
for program in quenlo quenlo-cli; do
  page="$work/root/usr/share/man/man1/$program.1.gz"
  [ -f "$page" ] || fail "no manual page $program(1)"
  # Rendered wide, so the help's words are on the same lines as in the page.
  rendered=$(MANWIDTH=200 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>"$work/man.err") ||
    fail "man -l $page"
  [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "$program(1) renders with warnings"; }
  grep -q "^SYNOPSIS" <<<"$rendered" || fail "$program(1) has no SYNOPSIS"
  grep -q "^EXIT STATUS" <<<"$rendered" || fail "$program(1) has no EXIT STATUS"
done
page="$work/root/usr/share/man/man5/printers.qdl.5.gz"
[ -f "$page" ] || fail "no manual page printers.qdl(5)"
rendered=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>"$work/man.err") || fail "man -l $page"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "printers.qdl(5) renders with warnings"; }
grep -q "^PRINTER KEYS" <<<"$rendered" || fail "printers.qdl(5) has no PRINTER KEYS"
echo "deb-lint: lintian, AppStream and the three manual pages are clean"

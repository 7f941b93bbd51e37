#!/usr/bin/env bash
# Sets up and runs every test: installs missing packages, builds, runs the whole suite, then the
# Debian package checked (lintian, AppStream, manual pages) and installed, run and purged on this
# machine, then the Windows build and its tests
# under wine, then a Release build as packagers make it (its unit tests), then the same suite under
# ASan + UBSan, then each fuzz target for a short, bounded time. Under CI=true every suite must run
# every test it lists (scripts/ctest-checked.sh).
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1
fuzz_seconds=${FUZZ_SECONDS:-30}

scripts/install-deps.sh

# One test more than the machine has cores: many of them spend their time waiting on private
# servers, desktops and wine rather than computing.
ctest_jobs=$(( $(nproc) + 1 ))

echo "== build and test"
scripts/build.sh release
scripts/ctest-checked.sh build --output-on-failure -j "$ctest_jobs" --timeout 600
[ $quick -eq 1 ] && exit 0

echo "== Debian package: lintian, AppStream, manual pages; then install, run, purge"
scripts/build.sh deb
scripts/deb-lint.sh build-deb/quenlo_*.deb || [ $? -eq 77 ]
scripts/deb-test.sh build-deb/quenlo_*.deb || [ $? -eq 77 ]

echo "== Windows build (mingw-w64) and its tests under wine"
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && command -v wine >/dev/null 2>&1; then
  scripts/build.sh windows
  scripts/wine-test.sh
elif [ "${CI:-}" = true ]; then
  echo "Windows build: mingw-w64 or wine is missing" >&2; exit 1
else
  echo "-- skipped: mingw-w64 or wine is not installed"
fi

echo "== Release build with Debian's packaging flags, and its unit tests"
scripts/build.sh packager
scripts/ctest-checked.sh build-packager --output-on-failure -j "$ctest_jobs" --timeout 300 -L unit

echo "== background watch soak, two minutes"
scripts/watch-soak.sh --minutes 2 --cycle 30

echo "== ASan + UBSan build and test"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  scripts/ctest-checked.sh build-asan --output-on-failure -j "$ctest_jobs" --timeout 900

echo "== fuzz targets, ${fuzz_seconds}s each"
scripts/build.sh fuzz
shopt -s nullglob
for f in build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f"); name=${name#fuzz_}
  corpus=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
  echo "-- $name"
  "$f" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       "$corpus" 2>&1 | tail -n 12
  rm -rf "$corpus"
done
echo "== all tests passed"

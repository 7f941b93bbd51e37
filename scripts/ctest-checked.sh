#!/usr/bin/env bash
# Runs ctest in a build folder with the given arguments. Under CI=true the run must also have run
# every test that `ctest -N` lists for the same selection, and skipped none: a suite that passes by
# not running (a missing tool, a discovery that found nothing, a test that skips itself) fails.
#   scripts/ctest-checked.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
dir=$1; shift
cd "$dir"
if [ "${CI:-}" != true ]; then
  exec ctest "$@"
fi
junit=$(mktemp --suffix=.xml)
trap 'rm -f "$junit"' EXIT
rc=0
ctest --output-junit "$junit" "$@" || rc=$?
listed=$(ctest -N "$@" | sed -n 's/^Total Tests: \([0-9]*\)$/\1/p')
# ctest's report opens with one <testsuite> element that holds its counts.
counts=$(tr '\n\t' '  ' <"$junit" | grep -o '<testsuite [^>]*>' | head -n 1)
count() { sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$counts"; }
ran=$(count tests); skipped=$(count skipped); disabled=$(count disabled)
echo "ctest-checked: $dir: listed ${listed:-?}, ran ${ran:-?}, skipped ${skipped:-?}, disabled ${disabled:-?}"
if [ -z "$listed" ] || [ -z "$ran" ] || [ "$ran" != "$listed" ] || [ "${skipped:-1}" != 0 ] ||
   [ "${disabled:-1}" != 0 ] || [ "$listed" = 0 ]; then
  grep -o '<testcase name="[^"]*" [^>]*status="\(notrun\|disabled\)"' "$junit" |
    sed 's/^<testcase name="\([^"]*\)".*/  not run: \1/' >&2 || true
  echo "ctest-checked: under CI every listed test must run and none may skip" >&2
  [ $rc -ne 0 ] || rc=1
fi
exit $rc

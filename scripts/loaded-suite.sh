#!/usr/bin/env bash
# Runs the plain build's whole suite several times on a loaded machine, so that a test which
# passes only when the machine is quiet shows: two CPU burners (stress-ng) beside each run, and
# with --one-core the suite pinned to a single core as well. One line of counts per run.
#   scripts/loaded-suite.sh [--one-core] [RUNS] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
pin=()
if [ "${1:-}" = --one-core ]; then pin=(taskset -c 0); shift; fi
runs=${1:-5}; shift || true
command -v stress-ng >/dev/null || { echo "loaded-suite: stress-ng is missing (scripts/install-deps.sh)" >&2; exit 1; }
stress-ng --cpu 2 --quiet &
burners=$!
trap 'kill "$burners" 2>/dev/null || true; wait "$burners" 2>/dev/null || true' EXIT
rc=0
for run in $(seq 1 "$runs"); do
  log=build/loaded-run-$run.log
  "${pin[@]}" scripts/ctest-checked.sh build --output-on-failure -j 3 --timeout 600 "$@" >"$log" 2>&1 || rc=1
  summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no summary")
  failed=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' | tr -s ' ' | tr '\n' ';' || true)
  echo "run $run${pin:+ (one core)}: $summary${failed:+ FAILED: $failed}"
done
exit $rc

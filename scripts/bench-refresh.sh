#!/usr/bin/env bash
# The refresh benchmark, side by side in one run (bench/refresh_bench.py says what it measures):
# the whole quenlo-cli refresh beside a floor client, the list fill, the window's start-up and idle
# memory, and its longest stretch without events during a refresh.
#
#   scripts/bench-refresh.sh [--runs N] [--compare QUENLO_CLI] [--compare-app QUENLO] [--no-window] [--smaps]
#
# Takes the programs from QUENLO_BUILD_DIR (default build/, made by scripts/build.sh). The answers
# it replays are captured once from a private CUPS server into build/refresh-captures/
# (scripts/capture-refresh.sh; about a minute and a half).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUENLO_BUILD_DIR:-build}
for p in cli/quenlo-cli app/quenlo bench/refresh-replay bench/refresh-floor bench/run-measured bench/bench_app_joblist \
         bench/bench_app_ui_stretch; do
  [ -x "$build/$p" ] || { echo "bench-refresh: $build/$p is not built (scripts/build.sh)" >&2; exit 1; }
done
scripts/capture-refresh.sh "$build/refresh-captures" "$build/cli/quenlo-cli"
exec python3 bench/refresh_bench.py --build "$build" --captures "$build/refresh-captures" "$@"

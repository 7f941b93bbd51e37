#!/usr/bin/env bash
# Sets up and runs the monitor: installs what is missing, builds, then runs Quenlo on the user's own
# printers file when there is one, otherwise on the local CUPS demo (scripts/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
exec scripts/demo.sh "$@"

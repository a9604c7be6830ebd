#!/bin/bash
# Runs every tools/bench/*.bench.sh against a build tree; each prints its figures.
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR}
mkdir -p "$build/bench"
status=0
for script in "$(dirname "$0")"/*.bench.sh; do
  [ -e "$script" ] || continue
  bash "$script" "$build" || status=1
done
exit $status

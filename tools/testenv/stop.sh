#!/bin/bash
# Stops what start.sh started for one build tree.
set -u
build=$(cd "${1:?usage: stop.sh BUILD_DIR}" && pwd)
env_dir="$build/testenv"
for hook in "$(dirname "$0")"/stop.d/*.sh; do
  [ -e "$hook" ] || continue
  bash "$hook" "$build"
done
WINEPREFIX="$env_dir/wineprefix" wineserver -k 2>/dev/null || true
if [ -f "$env_dir/xvfb.pid" ]; then kill "$(cat "$env_dir/xvfb.pid")" 2>/dev/null || true; rm -f "$env_dir/xvfb.pid"; fi

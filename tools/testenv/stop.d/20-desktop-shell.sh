#!/bin/bash
# Ends the test desktop shell that start.d/20-desktop-shell.sh started.
set -u
build=$(cd "${1:?usage: 20-desktop-shell.sh BUILD_DIR}" && pwd)
pid_file="$build/testenv/desktop-shell.pid"
[ -f "$pid_file" ] || exit 0
pid=$(cat "$pid_file")
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
fi
rm -f "$pid_file" "$build/testenv/desktop-shell.ready"

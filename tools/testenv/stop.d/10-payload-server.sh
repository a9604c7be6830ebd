#!/bin/bash
# Stops the payload server of one build tree, if it runs: SIGTERM, then waits for
# it to close its ports (SIGKILL only if it does not end within ten seconds).
set -u
build=$(cd "${1:?usage: 10-payload-server.sh BUILD_DIR}" && pwd)
pidfile="$build/testenv/payload-server/server.pid"
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
# Only our own server: the pid may have been reused since.
if kill -0 "$pid" 2>/dev/null && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "payload_server.py"; then
  kill -TERM "$pid"
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "payload server $pid did not stop on SIGTERM; killing it" >&2
    kill -KILL "$pid"
  fi
fi
rm -f "$pidfile" "$build/testenv/payload-server/ready"
exit 0

#!/bin/bash
# Starts the local HTTPS payload server of one build tree (see payload_server.py):
# makes the certificates when missing, makes the test authority a trusted root of
# the tree's Wine prefix, and (re)starts the server on 127.0.0.1 port 443 (the
# payload endpoints, certificate chosen by SNI), 4431 (a certificate for the wrong
# name) and 4432 (a certificate of an untrusted authority).
set -euo pipefail
build=$(cd "${1:?usage: 10-payload-server.sh BUILD_DIR}" && pwd)
testenv=$(cd "$(dirname "$0")/.." && pwd)
state="$build/testenv/payload-server"
pki="$build/testenv/pki"
mkdir -p "$state/rules"

bash "$testenv/payload-pki.sh" "$build"

# Trust the authority inside the prefix once per authority (the mark lives in the
# prefix, so a new prefix imports again).
importer="$build/testenv-tools/ImportRootCertificate.exe"
mark="$build/testenv/wineprefix/.orvo-payload-ca"
fingerprint=$(sha256sum "$pki/ca.der" | cut -d' ' -f1)
if [ "$(cat "$mark" 2>/dev/null || true)" != "$fingerprint" ]; then
  [ -f "$importer" ] || { echo "payload server: $importer is not built (run make build)" >&2; exit 1; }
  "$build/wine-run" "$importer" "Z:${pki//\//\\}\\ca.der" </dev/null
  echo "$fingerprint" >"$mark"
fi

# A server of an earlier start goes first, so a changed server script takes effect.
bash "$testenv/stop.d/10-payload-server.sh" "$build"

# The payload build's identifier and size, as the build tree's configuration holds them.
cached() { sed -n "s/^$1:INTERNAL=//p" "$build/CMakeCache.txt"; }
build_id=$(cached ORVO_PAYLOAD_BUILD_ID)
size=$(cached ORVO_PAYLOAD_SIZE)
[ -n "$build_id" ] && [ -n "$size" ] || { echo "payload server: $build is not configured" >&2; exit 1; }

rm -f "$state/ready"
setsid python3 "$testenv/payload_server.py" --pki "$pki" --state "$state" \
  --payload "$build/payload/orvo-game-payload-$build_id.7z" --build-id "$build_id" --size "$size" \
  --listen 443:sni --listen 4431:wrong-name --listen 4432:untrusted \
  --ready-file "$state/ready" </dev/null >"$state/server.log" 2>&1 &
pid=$!
echo "$pid" >"$state/server.pid"
for _ in $(seq 100); do
  [ -s "$state/ready" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
if [ ! -s "$state/ready" ]; then
  if grep -q "Address already in use" "$state/server.log"; then
    # Another build tree's server holds the port: this tree's other tests can
    # still run; the download tests say why they cannot.
    echo "127.0.0.1:443 is taken by another process, so this build tree has no payload server" |
      tee "$state/unavailable" >&2
    rm -f "$state/server.pid"
    exit 0
  fi
  echo "payload server did not start:" >&2
  cat "$state/server.log" >&2
  exit 1
fi
rm -f "$state/unavailable"
echo "payload server listening on 127.0.0.1:443 (pid $pid)"

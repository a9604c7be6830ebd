#!/bin/bash
# Saves a picture of the installer window in its ready state to
# BUILD_DIR/demo/installer-ready.png, with the installer's own "--capture-ui"
# (the test environment of BUILD_DIR must be running: tools/testenv/start.sh).
set -euo pipefail
build=$(cd "${1:?usage: capture-ready.sh BUILD_DIR}" && pwd)
mkdir -p "$build/demo"
out="$build/demo/installer-ready.png"
rm -f "$out"
# Wine shows the Unix root as drive Z:.
windows_path="Z:$(printf '%s' "$out" | tr '/' '\\')"
if ! timeout 120 "$build/wine-run" "$build/OrvoGameSetup.exe" --capture-ui "$windows_path"; then
  echo "capture-ready: the installer did not save its picture" >&2
  exit 1
fi
[ -s "$out" ] || { echo "capture-ready: $out is missing" >&2; exit 1; }
echo "saved $out"

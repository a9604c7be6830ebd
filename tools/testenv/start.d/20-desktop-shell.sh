#!/bin/bash
# Starts the test desktop shell in the build tree's Wine prefix (Wine has no
# shell window, and the installer takes the desktop user's identity from it),
# detached, and waits until its shell window exists.
set -euo pipefail
build=$(cd "${1:?usage: 20-desktop-shell.sh BUILD_DIR}" && pwd)
env_dir="$build/testenv"
program="$build/tools/OrvoTestDesktop.exe"

# Wine links the user's Desktop folder to the Unix home, which every build tree
# shares; shortcuts written by tests stay inside this tree's prefix instead.
for desktop in "$env_dir"/wineprefix/drive_c/users/*/Desktop; do
  if [ -L "$desktop" ]; then
    rm -f "$desktop"
    mkdir -p "$desktop"
  fi
done

[ -f "$program" ] || { echo "desktop shell not built: $program" >&2; exit 1; }
if [ -f "$env_dir/desktop-shell.pid" ] && kill -0 "$(cat "$env_dir/desktop-shell.pid")" 2>/dev/null; then
  exit 0
fi
ready="$env_dir/desktop-shell.ready"
rm -f "$ready"
setsid "$build/wine-run" "$program" "Z:$ready" </dev/null >/dev/null 2>&1 &
echo $! >"$env_dir/desktop-shell.pid"
for _ in $(seq 300); do
  [ -s "$ready" ] && exit 0
  sleep 0.1
done
echo "the test desktop shell did not start" >&2
exit 1

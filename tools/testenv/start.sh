#!/bin/bash
# Prepares and starts what the tests and the demo run against, for one build tree:
# the tree's own Wine prefix (created once), an Xvfb display, a persistent
# wineserver with Wine's services already running (detached, so that no test
# waits for them or holds ctest's pipes), and the fixtures of later stages.
set -euo pipefail
build=$(cd "${1:?usage: start.sh BUILD_DIR}" && pwd)
env_dir="$build/testenv"
mkdir -p "$env_dir"
export WINEPREFIX="$env_dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Display: reuse ours while it lives, else take the first free number from 90.
display=""
if [ -f "$env_dir/xvfb.pid" ] && kill -0 "$(cat "$env_dir/xvfb.pid")" 2>/dev/null; then
  display=$(cat "$env_dir/display")
else
  # Several build trees may start at once: begin at a number derived from the
  # tree's path and move on while a number is taken or Xvfb refuses it.
  first=$(( 90 + $(printf '%s' "$build" | cksum | cut -d' ' -f1) % 100 ))
  for n in $(seq "$first" $((first + 60))); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    setsid Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp </dev/null >"$env_dir/xvfb.log" 2>&1 &
    pid=$!
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      display=":$n"
      echo "$pid" >"$env_dir/xvfb.pid"
      echo "$display" >"$env_dir/display"
      break
    fi
  done
  [ -n "$display" ] || { echo "no free X display" >&2; exit 1; }
fi
export DISPLAY="$display"

if [ ! -f "$WINEPREFIX/.orvo-ready" ]; then
  echo "creating Wine prefix in $WINEPREFIX"
  wineboot -i </dev/null >"$env_dir/wineboot.log" 2>&1
  # The window's family "Microsoft YaHei UI" does not exist under Wine; render it with a Debian CJK font.
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei UI' /t REG_SZ /d 'WenQuanYi Micro Hei' /f </dev/null >/dev/null 2>&1
  # Xvfb has no window manager: for a managed window Wine's X11 driver waits
  # 2 s on every close for a withdrawal that never comes. Unmanaged windows close at once.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.orvo-ready"
fi

# Persistent server plus the services a first process starts, all detached.
setsid wineserver -p </dev/null >/dev/null 2>&1 || true
setsid wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# Stage fixtures (payload servers, desktop shell, ...) hook in here.
for hook in "$(dirname "$0")"/start.d/*.sh; do
  [ -e "$hook" ] || continue
  bash "$hook" "$build"
done
echo "test environment ready: WINEPREFIX=$WINEPREFIX DISPLAY=$DISPLAY"

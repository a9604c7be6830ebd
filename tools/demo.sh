#!/bin/bash
# The installer's main job on local defaults, in the build tree's own Wine
# prefix: the platform installed into "C:\Program Files\orvo game" from the
# local HTTPS payload server, first through the installer window as a user
# would (which registers it: shortcuts and the uninstall entry), then by an
# unattended run with its stage markers printed as they come, which starts the
# installed platform. Afterwards it shows where everything landed.
set -uo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
run="$build/wine-run"
prefix="$build/testenv/wineprefix"
demo_dir="$build/demo"
mkdir -p "$demo_dir"
markers="$demo_dir/markers.txt"
log="$demo_dir/installer.log"
: >"$log"
target='C:\Program Files\orvo game'
installed="$prefix/drive_c/Program Files/orvo game"

# A platform started by an earlier demo would stop the install ("please quit").
"$run" taskkill /f /im OrvoQ9.exe </dev/null >>"$log" 2>&1 || true

echo "== orvo game installer demo (Wine prefix: $prefix)"
echo "== 1. install through the window: the path typed into its box, the install button clicked"
"$run" "$build/tests/InstallThroughWindow.exe" "$build/OrvoGameSetup.exe" "$target" --no-launch \
  </dev/null >>"$log" 2>&1
code=$?
echo "   window install exit code: $code (the platform is started by step 2)"
[ "$code" -eq 0 ] || { echo "   the window install failed; see $log" >&2; exit "$code"; }

echo "== 2. unattended install (--verify-install ... --verify-start); stage markers:"
rm -f "$markers"
: >"$markers"
tail -n +1 -f "$markers" | sed -u 's/^/   marker: /' &
tail_pid=$!
# The started platform keeps running after the installer ends; its output goes
# to the log so that it holds no terminal or pipe of the caller.
"$run" "$build/OrvoGameSetup.exe" --verify-install "$target" "Z:${markers//\//\\}" --verify-start \
  </dev/null >>"$log" 2>&1
code=$?
sleep 0.5
kill "$tail_pid" 2>/dev/null
wait "$tail_pid" 2>/dev/null
echo "   unattended install exit code: $code"

echo "== where it landed"
if [ -d "$installed" ]; then
  echo "   files in $target (= $installed):"
  (cd "$installed" && find . -type f | sort | sed 's|^\./|     |')
fi
echo "   shortcuts of the desktop user:"
find "$prefix/drive_c/users" -name 'orvo game.lnk' 2>/dev/null | sed "s|^$prefix/drive_c|     C:|; s|/|\\\\|g"
echo "   uninstall entry (64-bit registry view):"
# Exported rather than queried: reg's console output turns Chinese into "??".
exported="$demo_dir/uninstall-entry.reg"
rm -f "$exported"
"$run" reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\orvo game' "Z:${exported//\//\\}" /reg:64 /y \
  </dev/null >/dev/null 2>&1
if [ -s "$exported" ]; then
  iconv -f UTF-16 -t UTF-8 "$exported" | tr -d '\r' | sed '1,2d; /^$/d; s/^/     /'
else
  echo "     (not found)"
fi
pid=$(sed -n 's/^platform-launch-ok pid=//p' "$markers" | tail -n 1)
[ -n "$pid" ] && echo "   the platform runs as Windows process $pid (OrvoQ9.exe, window \"orvo game\")"

for hook in "$(dirname "$0")"/demo.d/*.sh; do
  [ -e "$hook" ] || continue
  bash "$hook" "$build"
done
exit "$code"

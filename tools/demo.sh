#!/bin/bash
# The installer's main job on local defaults: an unattended install into
# "C:\Program Files\orvo game" of the build tree's own Wine prefix, with the
# stage markers printed as they come.
set -uo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
run="$build/wine-run"
demo_dir="$build/demo"
mkdir -p "$demo_dir"
markers="$demo_dir/markers.txt"
rm -f "$markers"
: >"$markers"

echo "== orvo game installer demo (Wine prefix: $build/testenv/wineprefix)"
echo "== unattended install into C:\\Program Files\\orvo game; stage markers:"
tail -n +1 -f "$markers" | sed -u 's/^/   marker: /' &
tail_pid=$!
# The started platform keeps running after the installer ends; its output goes
# to a log so that it holds no terminal or pipe of the caller.
"$run" "$build/OrvoGameSetup.exe" --verify-install 'C:\Program Files\orvo game' "Z:${markers//\//\\}" --verify-start \
  </dev/null >"$demo_dir/installer.log" 2>&1
code=$?
sleep 0.5
kill "$tail_pid" 2>/dev/null
wait "$tail_pid" 2>/dev/null
echo "== installer exit code: $code"
installed="$build/testenv/wineprefix/drive_c/Program Files/orvo game"
if [ -d "$installed" ]; then
  echo "== installed files (C:\\Program Files\\orvo game = $installed):"
  (cd "$installed" && find . -type f | sort | sed 's|^\./|   |')
fi

for hook in "$(dirname "$0")"/demo.d/*.sh; do
  [ -e "$hook" ] || continue
  bash "$hook" "$build"
done
exit "$code"

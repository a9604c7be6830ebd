#!/bin/bash
# Throughput of downloadPayload for the 63,144,044-byte payload over loopback
# HTTPS (the local payload server, certificate validation on), beside a bare
# WinHTTP read loop fetching the same URL under the same Wine (reading only, and
# writing the file as any download must), and beside native curl. Each client
# runs RUNS times (default 5), in rotation so that load from other work on the
# machine spreads over all of them; the median counts.
# Usage: tools/bench/download.bench.sh [BUILD_DIR]   (the test environment must run)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-5}
bench="$build/bench/download-bench.exe"
[ -f "$bench" ] || { echo "missing $bench (build first)" >&2; exit 1; }
[ -s "$build/testenv/payload-server/ready" ] || { echo "payload server not running (tools/testenv/start.sh $build)" >&2; exit 1; }

url="https://127.0.0.1/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z?body=generated"
target_unix="$build/bench/download-target.7z"
target="Z:${target_unix//\//\\}"
trap 'rm -f "$target_unix"' EXIT

declare -a payload bare bare_file curl_times
for ((i = 0; i < runs; i++)); do
  bare_file+=("$("$build/wine-run" "$bench" bare "$url" "$target" </dev/null | awk '/^bare /{print $2}')")
  payload+=("$("$build/wine-run" "$bench" payload "$url" "$target" </dev/null | awk '/^payload /{print $2}')")
  bare+=("$("$build/wine-run" "$bench" bare "$url" </dev/null | awk '/^bare /{print $2}')")
  curl_times+=("$(curl -s --cacert "$build/testenv/pki/ca.pem" -o /dev/null -w '%{time_total}' "$url")")
  size=$(stat -c %s "$target_unix")
  [ "$size" = 63144044 ] || { echo "downloadPayload wrote $size bytes" >&2; exit 1; }
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
p=$(median "${payload[@]}"); b=$(median "${bare[@]}"); c=$(median "${curl_times[@]}"); f=$(median "${bare_file[@]}")
awk -v p="$p" -v b="$b" -v c="$c" -v f="$f" -v runs="$runs" -v load="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
  mb = 63144044 / 1048576
  printf "download of 63,144,044 bytes over loopback HTTPS, median of %d runs (load average %s)\n", runs, load
  printf "  downloadPayload (Wine)   %7.3f s  %7.1f MiB/s\n", p, mb / p
  printf "  bare WinHTTP loop (Wine) %7.3f s  %7.1f MiB/s\n", b, mb / b
  printf "  the same writing the file %6.3f s  %7.1f MiB/s   downloadPayload / this = %.2f\n", f, mb / f, f / p
  printf "  curl (native)            %7.3f s  %7.1f MiB/s\n", c, mb / c
  printf "  downloadPayload / bare WinHTTP = %.2f (target >= 0.95)   bare WinHTTP / curl = %.2f   downloadPayload / curl = %.2f\n", b / p, c / b, c / p
}'
echo "  all runs (s): downloadPayload ${payload[*]} | bare ${bare[*]} | bare writing ${bare_file[*]} | curl ${curl_times[*]}"

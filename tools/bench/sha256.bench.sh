#!/bin/bash
# sha256File throughput on a 256 MiB file under Wine beside the CNG primitive
# alone on the same bytes from memory (its floor) and the host's sha256sum, in
# the same run (warm cache).
set -euo pipefail
build=$(cd "${1:?usage: sha256.bench.sh BUILD_DIR}" && pwd)
file="$build/bench/sha256-256MiB.bin"
size=268435456
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != "$size" ]; then
  head -c "$size" /dev/urandom >"$file"
fi
cat "$file" >/dev/null

# Alternating runs so that load from other work spreads over both; medians count.
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
runs=${RUNS:-3}
host_times=() wine_times=() cng_times=() hot_times=()
winfile="Z:${file//\//\\}"
for ((i = 0; i < runs; i++)); do
  t0=$(date +%s.%N)
  host_digest=$(sha256sum "$file" | cut -d' ' -f1)
  t1=$(date +%s.%N)
  host_times+=("$(echo "$t1 - $t0" | bc -l)")
  read -r wine_digest seconds _ < <("$build/wine-run" "$build/bench/Sha256Bench.exe" "$winfile" </dev/null | tr -d "\r")
  wine_times+=("$seconds")
  read -r _ seconds _ < <("$build/wine-run" "$build/bench/Sha256Bench.exe" --cng-only "$winfile" </dev/null | tr -d "\r")
  cng_times+=("$seconds")
  read -r _ seconds _ < <("$build/wine-run" "$build/bench/Sha256Bench.exe" --cng-hot "$winfile" </dev/null | tr -d "\r")
  hot_times+=("$seconds")
done
[ "$host_digest" = "$wine_digest" ] || { echo "sha256: digests differ: host $host_digest, installer $wine_digest" >&2; exit 1; }
host=$(median "${host_times[@]}"); wine=$(median "${wine_times[@]}"); cng=$(median "${cng_times[@]}"); hot=$(median "${hot_times[@]}")
echo "sha256 of a 256 MiB file, median of $runs runs (load average $(cut -d' ' -f1-3 /proc/loadavg))"
printf '  host sha256sum                     %6.0f MiB/s (%.3f s)\n' "$(echo "256 / $host" | bc -l)" "$host"
printf '  CNG alone under Wine, from memory  %6.0f MiB/s (%.3f s)\n' "$(echo "256 / $cng" | bc -l)" "$cng"
printf '  CNG on one cache-resident MiB      %6.0f MiB/s (%.3f s)  (no file digest can reach this)\n' "$(echo "256 / $hot" | bc -l)" "$hot"
printf '  sha256File under Wine              %6.0f MiB/s (%.3f s)\n' "$(echo "256 / $wine" | bc -l)" "$wine"
printf '  sha256File / CNG alone = %.3f (target >= 0.95)   sha256File / cache-resident CNG = %.3f   sha256File / host sha256sum = %.2f\n' \
  "$(echo "$cng / $wine" | bc -l)" "$(echo "$hot / $wine" | bc -l)" "$(echo "$host / $wine" | bc -l)"
echo "  all runs (s): sha256File ${wine_times[*]} | CNG ${cng_times[*]} | cache-resident CNG ${hot_times[*]} | host ${host_times[*]}"

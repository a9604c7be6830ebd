#!/bin/bash
# sha256File throughput on a 256 MiB file under Wine beside the host's
# sha256sum on the same file in the same run (best of three each, warm cache).
set -euo pipefail
build=$(cd "${1:?usage: sha256.bench.sh BUILD_DIR}" && pwd)
file="$build/bench/sha256-256MiB.bin"
size=268435456
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != "$size" ]; then
  head -c "$size" /dev/urandom >"$file"
fi
cat "$file" >/dev/null

best() { sort -n | head -1; }
host_times=()
for _ in 1 2 3; do
  t0=$(date +%s.%N)
  host_digest=$(sha256sum "$file" | cut -d' ' -f1)
  t1=$(date +%s.%N)
  host_times+=("$(echo "$t1 - $t0" | bc -l)")
done
wine_times=()
for _ in 1 2 3; do
  read -r wine_digest seconds _ < <("$build/wine-run" "$build/bench/Sha256Bench.exe" "Z:${file//\//\\}" | tr -d "\r")
  wine_times+=("$seconds")
done
read -r _ cng_seconds cng_rate < <("$build/wine-run" "$build/bench/Sha256Bench.exe" --cng-only | tr -d "\r")
[ "$host_digest" = "$wine_digest" ] || { echo "sha256: digests differ: host $host_digest, installer $wine_digest" >&2; exit 1; }
host=$(printf '%s\n' "${host_times[@]}" | best)
wine=$(printf '%s\n' "${wine_times[@]}" | best)
printf 'sha256: 256 MiB  host sha256sum %.0f MiB/s (%.3f s)  sha256File under Wine %.0f MiB/s (%.3f s)  ratio %.2f (target >= 0.80)\n' \
  "$(echo "256 / $host" | bc -l)" "$host" "$(echo "256 / $wine" | bc -l)" "$wine" "$(echo "$host / $wine" | bc -l)"
printf 'sha256: CNG alone under Wine (256 MiB from memory) %.0f MiB/s (%.3f s)\n' "$cng_rate" "$cng_seconds"

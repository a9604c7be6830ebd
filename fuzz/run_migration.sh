#!/bin/bash
# Builds and runs the migration's fuzz targets (fuzz/migration_*_fuzz.cpp)
# natively with libFuzzer and the sanitizers, each from the pure sources its
# "// fuzz-sources:" line names, one after another.
#   fuzz/run_migration.sh [SECONDS] [TARGET...]   (default: 60 seconds, all migration targets)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/migration_*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
if [ -x fuzz/run.sh ]; then exec fuzz/run.sh "$seconds" "${targets[@]}"; fi

out=${FUZZ_BUILD:-fuzz/build}
cxx=${CXX_FUZZ:-clang++-14}
command -v "$cxx" >/dev/null || { echo "$cxx is missing (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
mkdir -p "$out"
status=0
for name in "${targets[@]}"; do
  src="fuzz/$name.cpp"
  read -r -a sources <<<"$(sed -n 's|^// fuzz-sources:||p' "$src" | head -1)"
  echo "== $name: building from $src ${sources[*]}"
  "$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I. "$src" "${sources[@]}" -o "$out/$name"
  corpus="$out/corpus/$name"
  mkdir -p "$corpus" "$out/artifacts/$name"
  echo "== $name: running for $seconds s"
  if ! "$out/$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/artifacts/$name/" \
      "$corpus" 2>"$out/$name.log"; then
    status=1
    echo "!! $name found a failure; see $out/$name.log and $out/artifacts/$name/" >&2
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$out/$name.log" || tail -3 "$out/$name.log"
done
exit $status

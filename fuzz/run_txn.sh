#!/bin/sh
# Builds the transaction engine's fuzz targets natively with clang's libFuzzer
# and runs each for FUZZ_SECONDS (default 60). Every target lists its pure
# sources in fuzz/<target>.sources; fuzz/seeds/<name>/ holds its seeds.
set -eu
cd "$(dirname "$0")/.."
CXX="${CXX:-clang++-14}"
SECONDS_PER_TARGET="${FUZZ_SECONDS:-60}"
OUT="${FUZZ_OUT:-build-fuzz}"
mkdir -p "$OUT"
for target in ${FUZZ_TARGETS:-journal_fuzz marker_fuzz}; do
  sources=$(sed 's/#.*//' "fuzz/$target.sources")
  "$CXX" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I. \
    "fuzz/$target.cpp" $sources -o "$OUT/$target"
  name="${target%_fuzz}"
  mkdir -p "$OUT/corpus-$name"
  "$OUT/$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
    "$OUT/corpus-$name" "fuzz/seeds/$name"
done

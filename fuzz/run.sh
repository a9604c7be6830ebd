#!/bin/bash
# Builds every fuzz/*_fuzz.cpp natively with libFuzzer and the sanitizers, from
# the pure sources its "// fuzz-sources:" line or its fuzz/<target>.sources file
# names, and runs each for a given
# number of seconds. Crashes are left as files in the target's work directory.
#   fuzz/run.sh [SECONDS] [TARGET...]      (default: 60 seconds, all targets)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
shift || true
out=${FUZZ_BUILD:-fuzz/build}
cxx=${CXX_FUZZ:-clang++-14}
command -v "$cxx" >/dev/null || { echo "$cxx is missing (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
mkdir -p "$out"

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

status=0
for name in "${targets[@]}"; do
  src="fuzz/$name.cpp"
  if [ -f "fuzz/$name.sources" ]; then
    read -r -a sources <<<"$(sed 's/#.*//' "fuzz/$name.sources" | tr '\n' ' ')"
  else
    read -r -a sources <<<"$(sed -n 's|^// fuzz-sources:||p' "$src" | head -1)"
  fi
  echo "== $name: building from $src ${sources[*]}"
  "$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I. "$src" "${sources[@]}" -o "$out/$name"
  corpus="$out/corpus/$name"
  mkdir -p "$corpus" "$out/artifacts/$name"
  [ -d "fuzz/seeds/${name%_fuzz}" ] && cp -n "fuzz/seeds/${name%_fuzz}"/* "$corpus"/ 2>/dev/null || true
  echo "== $name: running for $seconds s"
  if ! "$out/$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/artifacts/$name/" \
      "$corpus" 2>"$out/$name.log"; then
    status=1
    echo "!! $name found a failure; see $out/$name.log and $out/artifacts/$name/" >&2
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$out/$name.log" || tail -3 "$out/$name.log"
done
exit $status

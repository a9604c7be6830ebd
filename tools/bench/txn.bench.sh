#!/bin/bash
# Time of one file transaction (prepare + apply + commit) upgrading 14 files of
# 256 MiB in all under Wine, beside the native baseline of copying the same
# files with cp and hashing them once with sha256sum, and beside its floor
# under the same Wine: the transaction must digest each file 7 times on an
# upgrade (candidate, original, staged copy, backup copy while preparing; the
# original and the staged copy again right before the move; the installed file
# at commit), copy it twice with write-through (staged and backup) and move it
# into place with write-through, publish its journal 2n+4 times (n = 14: once
# when the area is taken, after each staged file, after the last, before each
# move, after the last move, at commit), each a write-through file flushed and
# renamed with write-through, and delete the n backups at clean-up; the floor
# is CNG over those bytes from memory plus those copies, moves, journal
# writes and deletions, each alone. RUNS (default 3) rounds; the median
# counts.
# Usage: tools/bench/txn.bench.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
bench="$build/bench/txn-bench.exe"
[ -f "$bench" ] || { echo "missing $bench (build first)" >&2; exit 1; }

# On the prefix's C: drive: Wine shows the Z: drive's root as a link, which the
# transaction refuses anywhere on its paths.
drive_c="$build/testenv/wineprefix/drive_c"
[ -d "$drive_c" ] || { echo "no Wine prefix (tools/testenv/start.sh $build)" >&2; exit 1; }
work=$(mktemp -d "$drive_c/txn-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
winpath() { local p="C:${1#"$drive_c"}"; echo "${p//\//\\}"; }

# 14 files, 256 MiB in all: two large, the rest smaller, as a platform build has them.
sizes_mib=(64 48 32 24 16 16 12 12 8 8 6 5 3 2)
mkdir -p "$work/candidate" "$work/old"
for i in "${!sizes_mib[@]}"; do
  head -c "$((sizes_mib[i] * 1048576))" /dev/urandom > "$work/candidate/file$i.bin"
  head -c "$((sizes_mib[i] * 1048576))" /dev/urandom > "$work/old/file$i.bin"
done
total=$(du -cb "$work"/candidate/* | tail -1 | cut -f1)

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
declare -a txn prep appl comm once base flo fdig fcop fjou fcln
for ((r = 0; r < runs; r++)); do
  rm -rf "$work/Games"
  mkdir -p "$work/Games"
  cp -r "$work/old" "$work/Games/Platform"
  sync
  out=$("$build/wine-run" "$bench" "$(winpath "$work/Games/Platform")" "$(winpath "$work/candidate")" </dev/null)
  txn+=("$(awk '/^transaction /{print $2}' <<<"$out")")
  prep+=("$(awk '/^prepare /{print $2}' <<<"$out")")
  appl+=("$(awk '/^apply /{print $2}' <<<"$out")")
  comm+=("$(awk '/^commit /{print $2}' <<<"$out")")
  once+=("$(awk '/^digest-once /{print $2}' <<<"$out")")
  flo+=("$(awk '/^floor /{print $2}' <<<"$out")")
  fdig+=("$(awk '/^floor-digests /{print $2}' <<<"$out")")
  fcop+=("$(awk '/^floor-copies /{print $2}' <<<"$out")")
  fjou+=("$(awk '/^floor-journal /{print $2}' <<<"$out")")
  journals=$(awk '/^floor-journal /{print $3}' <<<"$out")
  fcln+=("$(awk '/^floor-cleanup /{print $2}' <<<"$out")")
  digests=$(awk '/^digests /{print $2}' <<<"$out")
  cmp -s "$work/candidate/file0.bin" "$work/Games/Platform/file0.bin" || { echo "file0 not installed" >&2; exit 1; }

  rm -rf "$work/copy"
  sync
  start=$(date +%s.%N)
  cp -r "$work/candidate" "$work/copy"
  sha256sum "$work"/candidate/* > /dev/null
  base+=("$(echo "$(date +%s.%N) - $start" | bc)")
done

t=$(median "${txn[@]}"); b=$(median "${base[@]}")
awk -v t="$t" -v b="$b" -v p="$(median "${prep[@]}")" -v a="$(median "${appl[@]}")" -v c="$(median "${comm[@]}")" \
    -v o="$(median "${once[@]}")" -v n="$digests" -v total="$total" -v runs="$runs" \
    -v f="$(median "${flo[@]}")" -v fd="$(median "${fdig[@]}")" -v fc="$(median "${fcop[@]}")" \
    -v fj="$(median "${fjou[@]}")" -v j="$journals" -v fl="$(median "${fcln[@]}")" \
    -v load="$(cut -d' ' -f1-3 /proc/loadavg)" 'BEGIN {
  mib = total / 1048576
  printf "file transaction of 14 files, %.0f MiB, upgrading an existing set; median of %d runs (load average %s)\n", mib, runs, load
  printf "  prepare %.3f s   apply %.3f s   commit %.3f s   (%d digests)\n", p, a, c, n
  printf "  transaction (Wine)             %7.3f s  %7.1f MiB/s\n", t, mib / t
  printf "  one digest pass (Wine)         %7.3f s  %7.1f MiB/s\n", o, mib / o
  printf "  cp + sha256sum once (native)   %7.3f s  %7.1f MiB/s\n", b, mib / b
  printf "  floor (Wine): %d digests as CNG from memory %.3f s + 2 write-through copies %.3f s + moves\n", n, fd, fc
  printf "    + %d journal publications %.3f s + deleting the backups %.3f s = %.3f s\n", j, fj, fl, f
  printf "  transaction / floor = %.2f (target <= 1.15)   transaction / native baseline = %.2f\n", t / f, t / b
}'
echo "  all runs (s): transaction ${txn[*]} | floor ${flo[*]} | baseline ${base[*]}"

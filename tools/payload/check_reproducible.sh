#!/bin/bash
# Runs the payload step twice from the same inputs into two fresh directories,
# the second time under another umask and time zone, and requires both runs to
# give exactly the bytes that the build left (archive, manifest, header).
# usage: check_reproducible.sh ARCHIVE MANIFEST HEADER COMMAND [ARGS...]
set -euo pipefail
archive=$1 manifest=$2 header=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(umask 022; TZ=UTC "$@" --out-dir "$work/first" --header "$work/first/PayloadBuild.h")
(umask 077; TZ=Asia/Shanghai "$@" --out-dir "$work/second" --header "$work/second/PayloadBuild.h")

failed=0
for run in first second; do
  for pair in "$archive:$work/$run/$(basename "$archive")" "$manifest:$work/$run/$(basename "$manifest")" \
              "$header:$work/$run/PayloadBuild.h"; do
    built=${pair%%:*} again=${pair#*:}
    if ! cmp "$built" "$again"; then
      echo "FAILED: the $run run gave other bytes than the build for $(basename "$built")"
      failed=1
    fi
  done
done
size=$(stat -c %s "$archive")
echo "archive: $size bytes, sha256 $(sha256sum "$archive" | cut -d' ' -f1)"
[ "$failed" = 0 ] && echo "payload build reproducible: 1 passed, 0 failed" || exit 1

#!/bin/sh
# Checks that wine-run starts a program once more only when Wine failed before
# the program could have started, and never when the program ran and failed.
# Usage: wine-run.test.sh BUILD_DIR
build="$1"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail() { echo "FAIL: $*"; cat "$out"; exit 1; }

# A missing program fails inside Wine's loader; with a generous limit that
# counts as a start that never reached the program.
ORVO_WINE_START_LIMIT_MS=20000 "$build/wine-run" 'C:\no such program.exe' >"$out" 2>&1
status=$?
[ "$status" -ne 0 ] || fail "a missing program ended with 0"
[ "$(grep -c 'failed to open' "$out")" -eq 2 ] || fail "the missing program was not started exactly twice"
[ "$(grep -c "wine-run: Wine ended with code $status after .* ms, before the program can have started" "$out")" -eq 1 ] ||
  fail "no single note of the second start"

# A program that ran and failed is never started again, and its code stands.
"$build/wine-run" cmd /c exit 3 >"$out" 2>&1
status=$?
[ "$status" -eq 3 ] || fail "cmd's exit code 3 came back as $status"
! grep -q 'wine-run:' "$out" || fail "a program that ran was started again"
echo "PASS"

#!/bin/sh
# Checks that wine-run starts a program once more only when Wine's loader
# failed before the program could have started (code 1 within the limit), and
# never when the program ran and failed. cmd echoes "ran" each time it runs.
# Usage: wine-run.test.sh BUILD_DIR
build="$1"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail() { echo "FAIL: $*"; cat "$out"; exit 1; }
runs() { grep -c '^ran' "$out"; }

# Code 1 within a generous limit stands for the loader's failure: one more start, said once.
ORVO_WINE_START_LIMIT_MS=20000 "$build/wine-run" cmd /c "echo ran& exit 1" >"$out" 2>&1
[ $? -eq 1 ] || fail "code 1 did not come back"
[ "$(runs)" -eq 2 ] || fail "a loader-like failure was not started exactly twice"
[ "$(grep -c 'wine-run: Wine ended with code 1 after .* ms, before the program can have started' "$out")" -eq 1 ] ||
  fail "no single note of the second start"

# Any other code, however fast, is the program's own: never started again, and its code stands.
ORVO_WINE_START_LIMIT_MS=20000 "$build/wine-run" cmd /c "echo ran& exit 3" >"$out" 2>&1
[ $? -eq 3 ] || fail "cmd's exit code 3 did not come back"
[ "$(runs)" -eq 1 ] && ! grep -q 'wine-run:' "$out" || fail "a program that ended with 3 was started again"

# Code 1 after the limit is the program's own too.
ORVO_WINE_START_LIMIT_MS=1 "$build/wine-run" cmd /c "echo ran& exit 1" >"$out" 2>&1
[ $? -eq 1 ] && [ "$(runs)" -eq 1 ] || fail "a program that ran past the limit was started again"
echo "PASS"

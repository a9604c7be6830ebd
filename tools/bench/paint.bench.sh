#!/bin/bash
# Time of one full paint of the installer window (the painted bitmap and its
# copy to the screen) at 96 and 144 DPI under Wine: the first paint of a window
# and the repaints after it (progress notices, typing). RUNS (default 3)
# processes; medians count.
# Usage: tools/bench/paint.bench.sh [BUILD_DIR]   (the test environment must run, for its display)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
bench="$build/bench/paint-bench.exe"
[ -f "$bench" ] || { echo "missing $bench (build first)" >&2; exit 1; }
zpath() { echo "Z:${1//\//\\}"; }
out=""
for ((i = 0; i < runs; i++)); do
  out+=$("$build/wine-run" "$bench" "$(zpath "$build/generated/installer-background.jpg")" \
    "$(zpath "$build/generated/installer-logo.png")" </dev/null | tr -d '\r')$'\n'
done
echo "window paint, median of $runs processes (load average $(cut -d' ' -f1-3 /proc/loadavg))"
for dpi in 96 144; do
  awk -v dpi="$dpi" '$1 == "paint" && $2 == dpi {f[++n] = $3; r[n] = $4; b[n] = $5; c[n] = $6}
    function med(a, n,   i, j, t) { for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
      return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
    END { printf "  %3d DPI: first paint %6.2f ms   repaint %6.2f ms (bitmap %.2f + copy to screen %.2f)   (target <= 16 ms)\n",
      dpi, med(f, n), med(r, n), med(b, n), med(c, n) }' <<<"$out"
done

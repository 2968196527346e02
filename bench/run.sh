#!/usr/bin/env bash
# Times tavlin2a against a durable copy of the same bytes (each file written under a
# temporary name, synced and renamed, as tavlin2a publishes its outputs) and, for
# information, against cat writing them to the page cache only, in the same run, runs
# taken in turns. Prints for each job the ratios of the medians (the durable copy's
# first), tavlin2a's peak resident memory and, where strace is installed, its system
# calls per edit.
#   bench/run.sh [RUNS]         (default 5 runs of each; needs about 4 GB in bench/work)
#   TOOL=path bench/run.sh      (times another build of tavlin2a, e.g. an older one)
#   JOBS="dense many" bench/run.sh   (only these jobs)
#   ARGS="--checks=off" bench/run.sh (the tool run with these options)
#   BASE_TOOL=path or BASE_ARGS="..." bench/run.sh
#                               (also times a base in the same turns, BASE_TOOL run with
#                               BASE_ARGS, each defaulting to the tool's, and prints the
#                               tool's ratio to it: an older build, or the same one with
#                               --checks=off)
# Jobs: 24-bit stereo 48 kHz unless said, 3 takes per track, 50 ms equal-power
# crossfades unless said.
#   sparse60, sparse180   8 tracks, takes of 60 / 180 s, an edit every 20 s
#   dense                 16 tracks, takes of 120 s, an edit every 0.5 s
#   many                  200 tracks, takes of 12 s, 1024 edit points, 5 ms crossfades
#   float (float-cut)     8 tracks of 32-bit float, 120 s, an edit every 0.5 s; with
#                         crossfades and (float-cut) the same job with hard cuts
#   poly8 (poly8-cut)     4 tracks of 8-channel 24-bit, likewise
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
if [ -z "${TOOL:-}" ]; then
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-bench -j"$(nproc)" --target tavlin2a >/dev/null
  TOOL=$PWD/build-bench/tavlin2a
fi
tool=$TOOL
read -r -a args <<<"${ARGS:-}"
compare=""
if [ -n "${BASE_TOOL:-}${BASE_ARGS:-}" ]; then compare=1; fi
base_tool=${BASE_TOOL:-$tool}
read -r -a base_args <<<"${BASE_ARGS:-${ARGS:-}}"

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null; t1=$(date +%s.%N); awk "BEGIN {print $t1 - $t0}"; }

# make_job DIR TRACKS SECONDS EDIT_EVERY XF_MS "SOX FORMAT" [EDIT_POINTS]
# Every track's takes are hard links to the same three files: the page cache holds one
# set, for the tool and for cat alike.
make_job() {
  local dir=$1 tracks=$2 secs=$3 every=$4 xf=$5 format=$6 points=${7:-}
  rm -rf "$dir" && mkdir -p "$dir"
  for k in 1 2 3; do
    # shellcheck disable=SC2086
    sox -n -r 48000 $format "$dir/src$k.wav" synth "$secs" sine $((200 * k)) vol 0.5
  done
  : >"$dir/base.txt"
  for t in $(seq 1 "$tracks"); do
    echo "tr$t" >>"$dir/base.txt"
    for k in 1 2 3; do ln "$dir/src$k.wav" "$dir/tr${t}_t$k.wav"; done
  done
  awk -v secs="$secs" -v every="$every" -v points="$points" 'BEGIN {
    n = points != "" ? points - 1 : int(secs / every);
    step = points != "" ? secs / n : every;
    for (k = 0; k < n; k++) printf "%.6f\t_t%d\n", k * step, k % 3 + 1;
    printf "%.6f\t_t1\n", secs }' >"$dir/points.txt"
  printf 'xf_all\t%s\t1\n' "$xf" >"$dir/tavlinrc.txt"
}

# The yardstick, a durable copy: each track's first take (the size of its output)
# written under a temporary name, synced and renamed, as tavlin2a publishes its outputs.
# For information also the copy limit of the page cache: cat writing the same bytes anew.
copy_durable() {
  local t
  for t in $(seq 1 "$1"); do cat "tr${t}_t1.wav" >"copy$t.tmp" && sync "copy$t.tmp" && mv "copy$t.tmp" "copy$t.wav"; done
}
copy_all() { local t; for t in $(seq 1 "$1"); do cat "tr${t}_t1.wav" >"copy$t.wav"; done; }

# bench_job JOB TRACKS [LABEL]
bench_job() {
  local name=${3:-$1} tracks=$2 dir=bench/work/$1
  cd "$dir"
  "$tool" "${args[@]}" >/dev/null  # warm the page cache
  local tool_times=() copy_times=() durable_times=() base_times=()
  for _ in $(seq 1 "$runs"); do
    tool_times+=("$(seconds "$tool" "${args[@]}")")
    if [ -n "$compare" ]; then base_times+=("$(seconds "$base_tool" "${base_args[@]}")"); fi
    durable_times+=("$(seconds copy_durable "$tracks")")
    copy_times+=("$(seconds copy_all "$tracks")")
  done
  local rss calls="" edits
  rss=$( { /usr/bin/time -v "$tool" "${args[@]}" >/dev/null; } 2>&1 | awk -F': ' '/Maximum resident/ {print $2}')
  edits=$(($(wc -l <points.txt) * tracks))
  if command -v strace >/dev/null; then
    calls=$(strace -c -f -o strace.txt "$tool" "${args[@]}" >/dev/null && awk '/total/ {print $4}' strace.txt)
    calls=$(awk -v c="$calls" -v e="$edits" 'BEGIN {printf ", %.1f system calls per edit", c / e}')
  fi
  local t_med c_med d_med out_mb
  t_med=$(printf '%s\n' "${tool_times[@]}" | median)
  c_med=$(printf '%s\n' "${copy_times[@]}" | median)
  d_med=$(printf '%s\n' "${durable_times[@]}" | median)
  out_mb=$(du -cm --apparent-size tr*_bld.wav | tail -1 | cut -f1)
  printf '%-10s %5d MB out, %6d edits: ratio %.2f to the durable copy (tavlin2a %.3f s, durable copy %.3f s); %.2f to cat (%.3f s) (medians of %d); peak RSS %d KB%s\n' \
    "$name" "$out_mb" "$edits" "$(awk "BEGIN {print $t_med / $d_med}")" "$t_med" "$d_med" \
    "$(awk "BEGIN {print $t_med / $c_med}")" "$c_med" "$runs" "$rss" "$calls"
  if [ -n "$compare" ]; then
    local b_med
    b_med=$(printf '%s\n' "${base_times[@]}" | median)
    printf '%-10s ratio %.2f to the base (%s: %.3f s)\n' "" "$(awk "BEGIN {print $t_med / $b_med}")" \
      "$base_tool${base_args[*]:+ ${base_args[*]}}" "$b_med"
  fi
  rm -f copy*.wav copy*.tmp tr*_bld.wav strace.txt
  cd - >/dev/null
}

want() { [ -z "${JOBS:-}" ] || [[ " $JOBS " == *" $1 "* ]]; }
want sparse60 && make_job bench/work/sparse60 8 60 20 50 "-b 24 -c 2" && bench_job sparse60 8
want sparse180 && make_job bench/work/sparse180 8 180 20 50 "-b 24 -c 2" && bench_job sparse180 8
want dense && make_job bench/work/dense 16 120 0.5 50 "-b 24 -c 2" && bench_job dense 16
want many && make_job bench/work/many 200 12 0 5 "-b 24 -c 2" 1024 && bench_job many 200
if want float; then
  make_job bench/work/float 8 120 0.5 50 "-e floating-point -b 32 -c 2" && bench_job float 8
  printf 'xf_all\t50\t0\n' >bench/work/float/tavlinrc.txt && bench_job float 8 float-cut
fi
if want poly8; then
  make_job bench/work/poly8 4 120 0.5 50 "-b 24 -c 8" && bench_job poly8 4
  printf 'xf_all\t50\t0\n' >bench/work/poly8/tavlinrc.txt && bench_job poly8 4 poly8-cut
fi
rm -rf bench/work

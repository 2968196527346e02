#!/usr/bin/env bash
# Times tavlin2a on a large job against the copy limit: cat writing the same number
# of output bytes from the page cache, in the same run. Prints the ratio of medians
# and tavlin2a's peak resident memory, for takes of two lengths.
#   bench/run.sh [RUNS]      (default 5 runs of each; needs about 2.5 GB in bench/work)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
tracks=8
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target tavlin2a >/dev/null
tool=$PWD/build-bench/tavlin2a

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null; t1=$(date +%s.%N); awk "BEGIN {print $t1 - $t0}"; }

# A job of $tracks tracks of 24-bit stereo 48 kHz, 3 takes of $1 seconds each, an edit
# point every 20 seconds cycling through the takes, 50 ms equal-power crossfades.
make_job() {
  local secs=$1 dir=$2
  rm -rf "$dir" && mkdir -p "$dir"
  for k in 1 2 3; do
    sox -n -r 48000 -b 24 -c 2 "$dir/src$k.wav" synth "$secs" sine $((200 * k)) sine $((300 * k)) vol 0.5
  done
  : >"$dir/base.txt"
  for t in $(seq 1 $tracks); do
    echo "tr$t" >>"$dir/base.txt"
    for k in 1 2 3; do cp "$dir/src$k.wav" "$dir/tr${t}_t$k.wav"; done
  done
  rm "$dir"/src*.wav
  : >"$dir/points.txt"
  local k=0
  for ((s = 0; s < secs; s += 20)); do
    printf '%d\t_t%d\n' "$s" $((k % 3 + 1)) >>"$dir/points.txt"
    k=$((k + 1))
  done
  printf '%d\t_t1\n' "$secs" >>"$dir/points.txt"
  printf 'xf_all\t50\t1\n' >"$dir/tavlinrc.txt"
}

# The copy limit: cat writes each track's first take (the size of its output) anew.
copy_all() { for t in $(seq 1 $tracks); do cat "tr${t}_t1.wav" >"copy$t.wav"; done; }

for secs in 60 180; do
  dir=bench/work/job$secs
  make_job "$secs" "$dir"
  cd "$dir"
  "$tool" >/dev/null  # warm the page cache
  tool_times=() copy_times=()
  for _ in $(seq 1 "$runs"); do
    tool_times+=("$(seconds "$tool")")
    copy_times+=("$(seconds copy_all)")
  done
  rss=$( { /usr/bin/time -v "$tool" >/dev/null; } 2>&1 | awk -F': ' '/Maximum resident/ {print $2}')
  t_med=$(printf '%s\n' "${tool_times[@]}" | median)
  c_med=$(printf '%s\n' "${copy_times[@]}" | median)
  out_mb=$(du -cm tr*_bld.wav | tail -1 | cut -f1)
  printf 'takes of %3d s: %d MB out; tavlin2a %.3f s, cat %.3f s (medians of %d); ratio %.2f; peak RSS %d KB\n' \
    "$secs" "$out_mb" "$t_med" "$c_med" "$runs" "$(awk "BEGIN {print $t_med / $c_med}")" "$rss"
  rm -f copy*.wav
  cd - >/dev/null
done

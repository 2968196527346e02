#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan), replays the
# kept regression inputs, then fuzzes each target for SECONDS (default 30) from a seed
# corpus made here. A crash fails the script; its input is left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/deps.sh
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
# Absolute paths: the targets work in a folder of their own under /tmp.
out=$PWD/build-fuzz
seeds=$out/seeds
rm -rf "$seeds" && mkdir -p "$seeds/jobs" "$seeds/probe"

# Job seeds: run-control, base and points text, each ended by "\ " as the harness splits them.
printf 'xf_all\t10\t1\nxf_tr\t2\t50\t3\n\\ kick\nsnare\n\\ 0\tA\n30\tB\n60\tB\n' >"$seeds/jobs/plain"
printf '(xf_all\t200\t1)\nxf_tr\t1\t80\nxf_all\t30\t3\n\\ a\r\n\nb\n\\ 2.5\tA\r\n12,5\tB\n-1\tC\nnan\n' >"$seeds/jobs/odd"
printf '\xef\xbb\xbfxf_all\t10\t1\r\nnote\txf_tr\t2\t 50 \t3\r\n\\ \xef\xbb\xbfkick\r\n \r\n\\ 0:00.5\tA\n\n1:02:03.25 \tB\r\n2:00:00\tB\n' >"$seeds/jobs/timecodes"
# Probe seeds: takes in the layouts sox writes, with and without extra chunks.
for format in "-b 16 -c 1" "-b 24 -c 2" "-b 32 -c 2" "-e floating-point -b 32 -c 1" "-b 8 -c 1" "-b 24 -c 3"; do
  name=$(echo "$format" | tr -d ' -')
  # shellcheck disable=SC2086
  sox -n -r 8000 $format "$seeds/probe/$name.wav" synth 0.01 sine 440
done
sox -n -r 8000 -b 16 --comment "data in a comment" "$seeds/probe/comment.wav" synth 0.01 sine 440

for target in jobs probe; do
  for input in "$PWD"/fuzz/regressions/$target/*; do
    [ -e "$input" ] || continue
    "$out/fuzz_$target" -detect_leaks=1 "$input" >/dev/null 2>"$out/$target.log" || { tail -n 40 "$out/$target.log"; exit 1; }
  done
  mkdir -p "$out/corpus/$target"
  "$out/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=10 -detect_leaks=1 -artifact_prefix="$out/" \
    "$out/corpus/$target" "$seeds/$target" >/dev/null 2>"$out/$target.log" || { tail -n 40 "$out/$target.log"; exit 1; }
  grep -E '^(Done|#[0-9]+ +DONE)' "$out/$target.log" | tail -n 1 | sed "s/^/fuzz_$target: /"
done

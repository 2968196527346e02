#!/usr/bin/env bash
# Builds the tool, makes a demo job in demo/ and builds its tracks there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target tavlin2a tavlin_tones
rm -rf demo && mkdir demo
build/tavlin_tones demo
(cd demo && ../build/tavlin2a)
echo
echo "The built tracks are demo/keys_bld.wav, demo/bass_bld.wav and demo/pad_bld.wav;"
echo "the takes they were cut from lie beside them (demo/*_take*.wav)."

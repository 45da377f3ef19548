#!/usr/bin/env bash
# The main job: set-up, build, then a scripted day of calls on the simulated
# board, recorded through libTALO.so by the demo host. Arguments are passed to
# talo_demo (e.g. --speed 400 to run the day four times faster).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build talo_demo talo2wav TALO Tvcdrv

out="$PWD/build/demo"
mkdir -p "$out"
speech="$out/speech.wav"
if [ ! -s "$speech" ]; then
  espeak-ng -w "$out/speech-raw.wav" \
    "Hello, this is a call to the recorder. Please leave the package at the front desk. Thank you, goodbye."
  sox "$out/speech-raw.wav" -r 8000 -c 1 -b 16 -e signed-integer "$speech"
  rm -f "$out/speech-raw.wav"
fi
rm -f "$out"/line*_call*.v "$out"/line*_call*.wav
exec build/bin/talo_demo --speech "$speech" --out "$out" "$@"

#!/usr/bin/env bash
# The demo: set-up, build, then one scripted day of calls on the simulated
# board, recorded through libTALO.so by the demo host. Arguments are passed to
# talo_demo (e.g. --speed 400 to run the day four times faster, --policy FILE
# for a call policy of your own; tools/demo_host/policy.json is the example;
# --dial 12:5551234 to call out for station 13, --fax 14:5550123:FILE to send
# a fax).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
scripts/setup.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build talo_demo talo2wav wav2board TALO Tvcdrv

# The callers' speech and the prompts the trunk calls play (Sound/ beside
# talo_demo).
scripts/make_prompts.sh build
out="$PWD/build/demo"
speech="$out/speech.wav"

rm -f "$out"/line*_call*.v "$out"/line*_call*.wav "$out"/trunk*_*.v "$out"/trunk*_*.wav "$out"/faxes/fax_*
exec build/bin/talo_demo --speech "$speech" --out "$out" "$@"

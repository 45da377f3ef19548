#!/usr/bin/env bash
# The main job: set-up, build, then a scripted day of calls on the simulated
# board, recorded through libTALO.so by the demo host. Arguments are passed to
# talo_demo (e.g. --speed 400 to run the day four times faster, --policy FILE
# for a call policy of your own; tools/demo_host/policy.json is the example;
# --dial 12:5551234 to call out for station 13, --fax 14:5550123:FILE to send
# a fax).
set -euo pipefail
self="$(realpath "$0")"
cd "$(dirname "$self")/.."
scripts/setup.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build talo_demo talo2wav wav2board TALO Tvcdrv

out="$PWD/build/demo"
mkdir -p "$out"
speech="$out/speech.wav"
if [ ! -s "$speech" ]; then
  espeak-ng -w "$out/speech-raw.wav" \
    "Hello, this is a call to the recorder. Please leave the package at the front desk. Thank you, goodbye."
  sox "$out/speech-raw.wav" -r 8000 -c 1 -b 16 -e signed-integer "$speech"
  rm -f "$out/speech-raw.wav"
fi

# The prompts the trunk calls play, in the board's voice format, in Sound/
# beside talo_demo (the library reads its character prompts from Sound/Char
# there). Spoken by espeak-ng, made 8 kHz 16-bit mono by sox, converted by
# wav2board; made again when this script or the converter is newer.
sound="$PWD/build/bin/Sound"
mkdir -p "$sound/Char"
work="$(mktemp -d)"
prompt() {  # <file under Sound/> <text>
  local file="$sound/$1"
  if [ -s "$file" ] && [ "$file" -nt "$self" ] && [ "$file" -nt build/bin/wav2board ]; then
    return
  fi
  espeak-ng -w "$work/spoken.wav" "$2"
  sox "$work/spoken.wav" -r 8000 -c 1 -b 16 -e signed-integer "$work/line.wav"
  build/bin/wav2board "$work/line.wav" "$file"
}
prompt greeting.dat "You have reached the message line. Please leave your message. Press hash to leave a number we can call you back on."
prompt number.dat "Please key your number, then press hash."
prompt closing.dat "Thank you. Goodbye."
prompt blocked.dat "This number may not be dialled from this phone."
prompt notice.dat "This call is recorded."
prompt answer_caller.dat "Connecting you now."
prompt answer_user.dat "Outside call."
prompt fax_rx.dat "Please send your fax now."
prompt fax_tx.dat "A fax is coming. Please press start."
digits=(zero one two three four five six seven eight nine)
for d in "${!digits[@]}"; do prompt "Char/$d.dat" "${digits[$d]}"; done
rm -rf "$work"

rm -f "$out"/line*_call*.v "$out"/line*_call*.wav "$out"/trunk*_*.v "$out"/trunk*_*.wav "$out"/faxes/fax_*
exec build/bin/talo_demo --speech "$speech" --out "$out" "$@"

#!/usr/bin/env bash
# Makes the prompts the trunk calls play, in the board's voice format, in
# <build>/bin/Sound (the library reads its character prompts from Sound/Char
# beside the host program), and the callers' speech <build>/demo/speech.wav.
# Spoken by espeak-ng, made 8 kHz 16-bit mono by sox, converted by wav2board;
# made again when this script or the converter is newer.
# Usage: scripts/make_prompts.sh <build dir>   (wav2board built there)
set -euo pipefail
build="$(realpath "$1")"
self="$(realpath "$0")"
out="$build/demo"
mkdir -p "$out"
speech="$out/speech.wav"
if [ ! -s "$speech" ]; then
  espeak-ng -w "$out/speech-raw.wav" \
    "Hello, this is a call to the recorder. Please leave the package at the front desk. Thank you, goodbye."
  sox "$out/speech-raw.wav" -r 8000 -c 1 -b 16 -e signed-integer "$speech"
  rm -f "$out/speech-raw.wav"
fi
sound="$build/bin/Sound"
mkdir -p "$sound/Char"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prompt() {  # <file under Sound/> <text>
  local file="$sound/$1"
  if [ -s "$file" ] && [ "$file" -nt "$self" ] && [ "$file" -nt "$build/bin/wav2board" ]; then
    return
  fi
  espeak-ng -w "$work/spoken.wav" "$2"
  sox "$work/spoken.wav" -r 8000 -c 1 -b 16 -e signed-integer "$work/line.wav"
  "$build/bin/wav2board" "$work/line.wav" "$file"
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

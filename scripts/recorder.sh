#!/usr/bin/env bash
# The main job: set-up, build, then talo-recorder on the simulated board with
# the scripted day played over and over. It prints the web console's address
# and runs until interrupted (Ctrl-C). Arguments go to talo-recorder, e.g.
# --duration 120 to stop after two minutes, --config FILE for a configuration
# of your own (talo-recorder --print-config shows every key).
# Recordings and the call index go to build/recordings/ (TALO_BUILD=<dir>
# builds and records in another folder instead of build/).
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
build="${TALO_BUILD:-build}"
scripts/setup.sh
cmake -G Ninja -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" talo-recorder wav2board TALO Tvcdrv
scripts/make_prompts.sh "$build"

mkdir -p "$build/recordings"
config="$build/recorder.json"
cat > "$config" <<JSON
{
  "root": "recordings",
  "sim": { "speech": "demo/speech.wav" }
}
JSON
has_config=0
for a in "$@"; do case "$a" in -c|--config|--config=*) has_config=1 ;; esac; done
if [ "$has_config" = 1 ]; then
  exec "$build/bin/talo-recorder" "$@"
fi
exec "$build/bin/talo-recorder" --config "$config" "$@"

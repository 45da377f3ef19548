#!/usr/bin/env bash
# The main job: set-up, build, then talo-recorder on the simulated board with
# the scripted day played over and over. It prints the web console's address
# and runs until interrupted (Ctrl-C). Arguments go to talo-recorder, e.g.
# --duration 120 to stop after two minutes, --config FILE for a configuration
# of your own (talo-recorder --print-config shows every key). A configuration
# with "board": {"driver": "voip"} records the VoIP calls on the network
# instead; the VoIP driver is then built too. Capturing from an interface
# needs root or CAP_NET_RAW.
# At the first start talo-recorder prints the console's first account,
# "admin", and its password here (the program's output is this script's).
# Recordings and the call index go to build/recordings/ (TALO_BUILD=<dir>
# builds and records in another folder instead of build/).
set -euo pipefail
# A config file named relative to the caller's folder keeps its meaning after the cd below.
args=() user_config="" next_is_config=0
for a in "$@"; do
  if [ "$next_is_config" = 1 ]; then a="$(realpath -m -- "$a")" user_config="$a" next_is_config=0; fi
  case "$a" in
    -c|--config) next_is_config=1 ;;
    --config=*) user_config="$(realpath -m -- "${a#--config=}")" a="--config=$user_config" ;;
  esac
  args+=("$a")
done
cd "$(dirname "$(realpath "$0")")/.."
build="${TALO_BUILD:-build}"
scripts/setup.sh
cmake -G Ninja -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(talo-recorder wav2board TALO Tvcdrv)
# The VoIP driver only for a configuration that names it: a plain run needs no capture.
if [ -n "$user_config" ] && grep -q '"driver"[[:space:]]*:[[:space:]]*"voip"' "$user_config" 2>/dev/null; then
  targets+=(TvcdrvVoip)
fi
ninja -C "$build" "${targets[@]}"
scripts/make_prompts.sh "$build"

mkdir -p "$build/recordings"
config="$build/recorder.json"
cat > "$config" <<JSON
{
  "root": "recordings",
  "sim": { "speech": "demo/speech.wav" }
}
JSON
if [ -n "$user_config" ]; then
  exec "$build/bin/talo-recorder" "${args[@]}"
fi
exec "$build/bin/talo-recorder" --config "$config" "${args[@]}"

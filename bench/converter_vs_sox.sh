#!/usr/bin/env bash
# Times talo2wav against sox on one 10-hour recording (57143 capture buffers, ~146 MB).
#
#   bench/converter_vs_sox.sh [BUILD_DIR] [BUFFERS]
#
# BUILD_DIR holds bin/talo2wav and bin/talo_record_gen (default: build-audio beside this
# folder; build it Release). The work files (~1.5 GB) go to a temporary folder under
# $TMPDIR and are removed at the end. Uses hyperfine when installed (TIMER=time forces
# /usr/bin/time), RUNS sets the number of timed runs.
#
# sox cannot read a headerless record file, so it gets the same blocks wrapped by
# `talo2wav --mode ima`. Timed side by side:
#   talo2wav         record file -> 16-bit PCM WAV (the default mode)
#   sox (PCM)        IMA WAV -> 16-bit PCM WAV: the same job
#   sox (default)    `sox IN out.wav` as typed: sox keeps the IMA encoding and re-encodes
#   talo2wav --mode ima, for reference
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-audio}" && pwd)
buffers=${2:-57143}
talo2wav=$build/bin/talo2wav
gen=$build/bin/talo_record_gen

for tool in "$talo2wav" "$gen"; do
  [[ -x $tool ]] || { echo "missing $tool: build talo2wav and talo_record_gen first" >&2; exit 1; }
done
command -v sox >/dev/null || { echo "sox is not installed (apt-get install sox)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/talo_converter_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "making a record file of $buffers buffers ($(awk "BEGIN{printf \"%.2f\", $buffers*0.63/3600}") h)..."
"$gen" "$work/rec.dat" "$buffers"
"$talo2wav" --mode ima "$work/rec.dat" "$work/rec_ima.wav"
ls -l "$work/rec.dat" "$work/rec_ima.wav"

talo_cmd="$talo2wav $work/rec.dat $work/out_talo.wav"
talo_ima_cmd="$talo2wav --mode ima $work/rec.dat $work/out_talo_ima.wav"
sox_pcm_cmd="sox $work/rec_ima.wav -e signed-integer -b 16 $work/out_sox_pcm.wav"
sox_default_cmd="sox $work/rec_ima.wav $work/out_sox.wav"

if [[ ${TIMER:-} != time ]] && command -v hyperfine >/dev/null; then
  hyperfine --warmup 1 --runs "${RUNS:-5}" \
    -n talo2wav "$talo_cmd" \
    -n "sox (PCM)" "$sox_pcm_cmd" \
    -n "talo2wav --mode ima" "$talo_ima_cmd"
  # Re-encoding ten hours takes sox about a minute: one run is enough to compare.
  hyperfine --runs 1 -n "sox (default)" "$sox_default_cmd"
else
  for entry in "talo2wav|$talo_cmd" "sox (PCM)|$sox_pcm_cmd" "talo2wav --mode ima|$talo_ima_cmd" \
               "sox (default)|$sox_default_cmd"; do
    name=${entry%%|*}
    cmd=${entry#*|}
    [[ $name == "sox (default)" ]] || $cmd >/dev/null 2>&1  # warm-up
    /usr/bin/time -f "$name: %e s elapsed, %U s user, %S s system, %M KB max" $cmd
  done
fi

# Both PCM outputs hold the same decoded audio; sox adds each block's header sample.
talo_samples=$(( ($(stat -c %s "$work/out_talo.wav") - 44) / 2 ))
sox_samples=$(soxi -s "$work/out_sox_pcm.wav")
echo "samples: talo2wav $talo_samples, sox $sox_samples (505 per block in the IMA container)"

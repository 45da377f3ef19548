#!/usr/bin/env bash
# Playback over the console's HTTPS against plain HTTP: one recording whose
# WAV is about MB megabytes, downloaded RUNS times with curl on this machine
# from a recorder of each kind (the simulated board off, so nothing else runs).
# Prints MB/s of each download, the median of each kind and the server's CPU
# time a download.
# Usage: bench/recorder_tls_throughput.sh <build dir> [MB=50] [runs=5]
set -euo pipefail
build="$(realpath "$1")"; mb="${2:-50}"; runs="${3:-5}"
work="$(mktemp -d)"; pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"' EXIT
file="2026/01/01/ch00_20260101-000000_555_line.v"
mkdir -p "$work/rec/$(dirname "$file")"
# The WAV is four times the record file (4-bit samples decoded to 16-bit).
head -c $((mb * 1000000 / 4)) /dev/urandom > "$work/rec/$file"
"$build/bin/talo-recorder" make-cert --dir "$work" --host localhost > /dev/null
start() {  # <name> <console keys>: starts a recorder, prints its console address
  mkdir -p "$work/$1"
  echo "{\"root\": \"../rec\", \"index\": \"index.sqlite\", \"sim\": {\"enabled\": false},
        \"console\": {\"port\": 0 $2}}" > "$work/$1/config.json"
  printf 'bench-password-1\n' | "$build/bin/talo-recorder" user add bench --role supervisor --password-stdin \
    --config "$work/$1/config.json" > /dev/null
  "$build/bin/talo-recorder" --config "$work/$1/config.json" > "$work/$1/out.txt" 2> "$work/$1/err.txt" &
  pids+=($!); pid[$1]=$!
  until grep -qs "console at" "$work/$1/out.txt"; do sleep 0.2; done
  local base
  base="$(grep -o 'https\?://[^ ]*' "$work/$1/out.txt")"
  curl -sf --cacert "$work/console.crt" -c "$work/$1/cookies" -o /dev/null -H 'Content-Type: application/json' \
    -d '{"user": "bench", "password": "bench-password-1"}' "${base/127.0.0.1/localhost}api/login"
}
declare -A pid
start plain ""
start tls ", \"tls\": {\"cert\": \"../console.crt\", \"key\": \"../console.key\"}"
speed() {  # <name>: MB/s of one download
  local base
  base="$(grep -o 'https\?://[^ ]*' "$work/$1/out.txt")"
  curl -sf --cacert "$work/console.crt" -b "$work/$1/cookies" -o /dev/null -w '%{speed_download}' \
    "${base/127.0.0.1/localhost}api/audio?path=$file" | awk '{printf "%.1f", $1 / 1e6}'
}
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
ticks() { awk '{print $14 + $15}' "/proc/${pid[$1]}/stat"; }
# Taken in turns, so that a change in the machine's load falls on both; the
# server's CPU (user + system) is counted around its own downloads only.
plain=(); tls=(); declare -A cpu=([plain]=0 [tls]=0)
for ((i = 0; i < runs; ++i)); do
  t="$(ticks plain)"; plain+=("$(speed plain)"); cpu[plain]=$((cpu[plain] + $(ticks plain) - t))
  t="$(ticks tls)"; tls+=("$(speed tls)"); cpu[tls]=$((cpu[tls] + $(ticks tls) - t))
done
hz="$(getconf CLK_TCK)"
echo "a $(stat -c %s "$work/rec/$file")-byte recording, its WAV downloaded $runs times each way"
echo "plain HTTP: ${plain[*]} MB/s; median $(median "${plain[@]}"); server CPU $((cpu[plain] * 1000 / hz / runs)) ms a download"
echo "HTTPS:      ${tls[*]} MB/s; median $(median "${tls[@]}"); server CPU $((cpu[tls] * 1000 / hz / runs)) ms a download"
awk -v p="$(median "${plain[@]}")" -v t="$(median "${tls[@]}")" 'BEGIN {printf "HTTPS/plain: %.2f\n", t / p}'

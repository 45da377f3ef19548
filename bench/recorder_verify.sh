#!/usr/bin/env bash
# `talo-recorder verify` against sha256sum over the same recordings: a root of
# N files of M MB with their rows (hashes from sha256sum, written straight
# into the index), each tool run twice over the warm files, the best kept.
# Prints each run's seconds, the best MB/s of both and their ratio.
# Usage: bench/recorder_verify.sh <build dir> [files=200] [mb=5]
set -euo pipefail
build="$(realpath "$1")"; files="${2:-200}"; mb="${3:-5}"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
root="$work/rec"; day="$root/2024/01/02"
mkdir -p "$day"
printf '{"root": "%s"}\n' "$root" > "$work/config.json"
# An empty root: verify makes and migrates the index, finds nothing.
"$build/bin/talo-recorder" verify --config "$work/config.json" > /dev/null
for i in $(seq 1 "$files"); do
  head -c "$((mb << 20))" /dev/urandom > "$day/call-$i.v"
done
{
  echo "BEGIN;"
  i=0
  (cd "$root" && sha256sum 2024/01/02/*.v) | while read -r hash path; do
    i=$((i + 1))
    echo "INSERT INTO calls(channel, direction, start_ms, end_ms, path, bytes, state, sha256)" \
         "VALUES(1, 'line', $((1704153600000 + i)), $((1704153601000 + i)), '$path', $((mb << 20)), 'done', '$hash');"
  done
  echo "COMMIT;"
} | sqlite3 "$root/index.sqlite"

now() { date +%s.%N; }
best_verify=""; best_sum=""
for run in 1 2; do
  t0=$(now); "$build/bin/talo-recorder" verify --config "$work/config.json" > "$work/verify.txt"; t1=$(now)
  (cd "$root" && sha256sum 2024/01/02/*.v > /dev/null); t2=$(now)
  v=$(echo "$t1 - $t0" | bc -l); s=$(echo "$t2 - $t1" | bc -l)
  printf 'run %d: verify %.3f s, sha256sum %.3f s (%s)\n' "$run" "$v" "$s" "$(tail -1 "$work/verify.txt")"
  if [ -z "$best_verify" ] || (( $(echo "$v < $best_verify" | bc -l) )); then best_verify=$v; fi
  if [ -z "$best_sum" ] || (( $(echo "$s < $best_sum" | bc -l) )); then best_sum=$s; fi
done
total=$((files * mb))
printf 'best over %d MB: verify %.1f MB/s, sha256sum %.1f MB/s, ratio %.2fx\n' "$total" \
  "$(echo "$total / $best_verify" | bc -l)" "$(echo "$total / $best_sum" | bc -l)" \
  "$(echo "$best_sum / $best_verify" | bc -l)"

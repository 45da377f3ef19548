#!/usr/bin/env bash
# `talo-recorder verify` against sha256sum over the same recordings: a root of
# N files of M MB with their rows (hashes from sha256sum, written straight
# into the index), each tool run twice over the warm files, the best kept.
# Prints each run's wall and CPU seconds, the best MB/s of both and their
# ratio (1.00x: as fast as sha256sum).
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

# Wall and CPU (user + system) seconds of a command: the CPU figure holds
# when other work shares the machine.
TIMEFORMAT='%R %U %S'
timed() { { time "$@" > /dev/null; } 2>&1 | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'; }
verify() { "$build/bin/talo-recorder" verify --config "$work/config.json"; }
sum() { (cd "$root" && sha256sum 2024/01/02/*.v); }
best() { printf '%s\n' "$@" | sort -g | head -1; }
vw=(); vc=(); sw=(); sc=()
for run in 1 2; do
  read -r w c < <(timed verify); vw+=("$w"); vc+=("$c")
  read -r w2 c2 < <(timed sum); sw+=("$w2"); sc+=("$c2")
  printf 'run %d: verify %s s (cpu %s s), sha256sum %s s (cpu %s s)\n' "$run" "$w" "$c" "$w2" "$c2"
done
verify | tail -1
total=$((files * mb))
rate() { echo "$total / $1" | bc -l; }
bvw=$(best "${vw[@]}"); bvc=$(best "${vc[@]}"); bsw=$(best "${sw[@]}"); bsc=$(best "${sc[@]}")
printf 'best over %d MB, wall: verify %.1f MB/s, sha256sum %.1f MB/s, ratio %.2fx\n' "$total" \
  "$(rate "$bvw")" "$(rate "$bsw")" "$(echo "$bsw / $bvw" | bc -l)"
printf 'best over %d MB, cpu:  verify %.1f MB/s, sha256sum %.1f MB/s, ratio %.2fx\n' "$total" \
  "$(rate "$bvc")" "$(rate "$bsc")" "$(echo "$bsc / $bvc" | bc -l)"

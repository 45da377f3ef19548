#!/usr/bin/env bash
# The console under load, with the simulated board on (calls and live audio
# all the while): talo_console_load signed in as a supervisor, (a) 50 clients
# looping a page of the call list for 10 s, (b) the same with 200 event
# streams, 50 live listeners and 70 half-sent requests held open beside them.
# With a baseline build (an older recorder, without accounts), (a) runs on
# both in turns and the ratio of their requests/s is printed.
# Usage: bench/recorder_console_load.sh <build dir> [<baseline build dir>]
set -euo pipefail
build="$(realpath "$1")"; base="${2:+$(realpath "$2")}"
load="$build/bin/talo_console_load"
work="$(mktemp -d)"; pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"' EXIT
sim='"sim": {"enabled": true, "speed": 20, "loop": true}'
start() {  # <name> <binary>: starts a recorder in $work/<name>, sets port[<name>]
  "$2" --config "$work/$1/config.json" > "$work/$1/out.txt" 2> "$work/$1/err.txt" &
  pids+=($!)
  local p=$!
  until grep -qs "console at" "$work/$1/out.txt"; do
    kill -0 "$p" 2>/dev/null || { echo "the $1 recorder did not start:"; cat "$work/$1/err.txt"; exit 1; }
    sleep 0.2
  done
  port[$1]="$(grep -o 'console at .*:[0-9]\+/' "$work/$1/out.txt" | grep -o '[0-9]\+/$' | tr -d /)"
}
declare -A port
mkdir -p "$work/new/rec"
echo "{\"root\": \"rec\", \"console\": {\"port\": 0}, $sim}" > "$work/new/config.json"
printf 'bench-password-1\n' | "$build/bin/talo-recorder" user add bench --role supervisor --password-stdin \
  --config "$work/new/config.json" > /dev/null
start new "$build/bin/talo-recorder"
if [[ -n "$base" ]]; then
  # The older recorder refuses keys it does not know.
  mkdir -p "$work/old/rec"
  echo "{\"root\": \"rec\", \"console\": {\"port\": 0}, $sim}" > "$work/old/config.json"
  start old "$base/bin/talo-recorder"
fi
sleep 5  # the first calls in the index, channels live
signed_in=(--user bench --password bench-password-1)
# A phase's summary, rate only: "requests: ... N answered, R/s".
rate() { grep -o '[0-9.]\+/s$' | tr -d /s; }

echo "== (a) 50 clients, 10 s, no streams"
"$load" --port "${port[new]}" "${signed_in[@]}" --clients 50 --seconds 10 | tee "$work/a.txt"
echo
echo "== (b) 50 clients, 10 s; 200 event streams, 50 live listeners on 4 channels, 70 slow clients, 20 sessions"
"$load" --port "${port[new]}" "${signed_in[@]}" --clients 50 --seconds 10 --event-streams 200 --listeners 50 \
  --channels 4 --slow 70 --sessions 20 --logins 0 || echo "(talo_console_load failed: $?)"
[[ -n "$base" ]] || exit 0

echo
echo "== (a) in turns: new, old, six times, 5 s each"
new=(); old=()
for turn in 1 2 3 4 5 6; do
  new+=("$("$load" --port "${port[new]}" "${signed_in[@]}" --logins 1 --clients 50 --seconds 5 |
    tee -a "$work/turns.txt" | grep '^requests:' | rate)")
  old+=("$("$load" --port "${port[old]}" --clients 50 --seconds 5 | tee -a "$work/turns.txt" | grep '^requests:' | rate)")
done
grep -v '^logins:' "$work/turns.txt"
echo "requests/s new: ${new[*]}; old: ${old[*]}"
# Medians, so that a moment of load from elsewhere on the machine counts once.
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (a[int((NR + 1) / 2)] + a[int(NR / 2) + 1]) / 2}'; }
awk -v n="$(median "${new[@]}")" -v o="$(median "${old[@]}")" \
  'BEGIN { printf "medians: new %.1f/s, old %.1f/s; new/old: %.2f\n", n, o, n / o }'

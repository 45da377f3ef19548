#!/usr/bin/env bash
# talo-recorder under load on the simulated board at the real-time pace: N
# line channels in calls the whole time (sim.extra_lines), a file rolled over
# every minute, L live listeners on one channel. Reports the process's CPU
# (user + system, from /proc over the measuring window), its memory (VmRSS,
# VmHWM) and the live listeners' delivery-to-socket latency from /api/status.
# Usage: bench/recorder_load.sh <build dir> [lines=64] [seconds=60] [listeners=1] [pass_ms=10]
set -euo pipefail
build="$(realpath "$1")"; lines="${2:-64}"; seconds="${3:-60}"; listeners="${4:-1}"; pass_ms="${5:-10}"
work="$(mktemp -d)"; trap 'kill $pid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/rec"
cat > "$work/config.json" <<JSON
{"root": "rec", "console": {"port": 0}, "record_limit_minutes": 1, "library": {"pass_ms": $pass_ms},
 "sim": {"extra_lines": $lines, "extra_call_ms": 3600000, "loop": false}}
JSON
printf 'bench-password-1\n' | "$build/bin/talo-recorder" user add bench --role supervisor --password-stdin \
  --config "$work/config.json" > /dev/null
"$build/bin/talo-recorder" --config "$work/config.json" > "$work/out.txt" 2> "$work/err.txt" &
pid=$!
until grep -q "console at" "$work/out.txt"; do sleep 0.2; done
port="$(grep -o ':[0-9]\+/' "$work/out.txt" | tr -d ':/')"
curl -sf -c "$work/cookies" -o /dev/null -H 'Content-Type: application/json' \
  -d '{"user": "bench", "password": "bench-password-1"}' "http://127.0.0.1:$port/api/login"
first=19  # the first extra line channel
for ((i = 0; i < listeners; ++i)); do
  curl -s -b "$work/cookies" -o /dev/null --max-time $((seconds + 20)) "http://127.0.0.1:$port/api/live/$first.wav" &
done
sleep 10  # every call answered, listeners started
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz="$(getconf CLK_TCK)"
t0="$(ticks)"; s0="$(date +%s.%N)"
sleep "$seconds"
t1="$(ticks)"; s1="$(date +%s.%N)"
calls="$(curl -s -b "$work/cookies" "http://127.0.0.1:$port/api/channels" | grep -o '"state":"call"' | wc -l)"
echo "line channels in calls: $calls"
awk -v t="$((t1 - t0))" -v hz="$hz" -v s0="$s0" -v s1="$s1" \
  'BEGIN { printf "CPU: %.3f CPU-s/s (%.1f %% of one core) over %.1f s\n", t / hz / (s1 - s0), 100 * t / hz / (s1 - s0), s1 - s0 }'
grep -E "VmRSS|VmHWM|Threads" "/proc/$pid/status"
echo "files: $(find "$work/rec" -name '*.v' | wc -l), parts after a roll-over: $(find "$work/rec" -name '*_p[0-9]*.v' | wc -l)"
curl -s -b "$work/cookies" "http://127.0.0.1:$port/api/status"; echo
kill -TERM "$pid"; wait "$pid"
grep -v "^$" "$work/err.txt" | tail -3

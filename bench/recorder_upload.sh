#!/usr/bin/env bash
# talo-recorder copying every finished call to the tests' one-node Ceph S3
# gateway: N line channels on the simulated board at the real-time pace, each
# in calls of C ms back to back, local files removed once copied. Reports,
# from the index, the time from each call's end to its checked copy (p50,
# p99, max) and the calls copied. The cluster is killed at the end.
# Usage: bench/recorder_upload.sh <build dir> [lines=64] [seconds=120] [call_ms=20000]
set -euo pipefail
build="$(realpath "$1")"; lines="${2:-64}"; seconds="${3:-120}"; call_ms="${4:-20000}"
here="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"; pid=
stop() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  for f in "$work"/ceph/run/*.pid; do [ -e "$f" ] && kill -9 "$(cat "$f")" 2>/dev/null; done
  rm -rf "$work"
}
trap stop EXIT
port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mon=$(port); rgw=$(port)
"$here/tests/recorder/start_rgw.sh" "$work/ceph" "$mon" "$rgw" BENCHACCESS bench-secret $$ > "$work/start.log" 2>&1
for _ in $(seq 90); do curl -s -o /dev/null "http://127.0.0.1:$rgw/" && break; sleep 1; done
curl -sf -X PUT --aws-sigv4 "aws:amz:us-east-1:s3" --user BENCHACCESS:bench-secret \
  -H "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" "http://127.0.0.1:$rgw/bench"
printf 'bench-secret\n' > "$work/secret"; chmod 600 "$work/secret"
mkdir -p "$work/rec"
cat > "$work/config.json" <<JSON
{"root": "rec", "console": {"port": 0}, "sim": {"extra_lines": $lines, "extra_call_ms": $call_ms},
 "storage": {"s3": {"endpoint": "http://127.0.0.1:$rgw", "bucket": "bench", "access_key": "BENCHACCESS",
   "secret_key_file": "$work/secret", "prefix": "bench", "delete_local_after_days": 0}}}
JSON
"$build/bin/talo-recorder" --config "$work/config.json" --duration "$seconds" > "$work/out.txt" 2> "$work/err.txt" &
pid=$!
wait "$pid"; pid=
/usr/bin/python3 - "$work/rec/index.sqlite" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
lag = sorted(r[0] for r in db.execute(
    "SELECT uploaded_ms - end_ms FROM calls WHERE uploaded_ms IS NOT NULL AND channel >= 19"))
left = db.execute("SELECT count(*) FROM calls WHERE channel >= 19 AND state != 'recording' AND object_key IS NULL"
                  " AND bytes > 0").fetchone()[0]
if not lag: sys.exit("no call was copied")
pick = lambda q: lag[min(len(lag) - 1, int(q * len(lag)))]
print(f"calls copied: {len(lag)}, finished but not copied at the stop: {left}")
print(f"end to checked copy: p50 {pick(0.5)} ms, p99 {pick(0.99)} ms, max {lag[-1]} ms")
PY

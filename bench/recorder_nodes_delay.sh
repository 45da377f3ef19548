#!/bin/bash
# Two talo-recorder nodes, each with N line channels in calls at the
# real-time pace on its simulated board, ship to one PostgreSQL 15 started
# here. Reports the delay from each call's end (the node's end_ms) to the
# moment its ended row reached PostgreSQL (stamped there by a trigger), and,
# with an object store, to the moment its object was checked (uploaded_ms).
# Usage: bench/recorder_nodes_delay.sh BUILD_DIR [LINES=64] [SECONDS=120] [CALL_MS=20000] [s3]
#   s3: also start a one-node Ceph gateway and upload every recording (the
#   local files kept), then time playing node a's longest call as a WAV
#   through node a's console (its disk) and through node b's (the store).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
lines=${2:-64}
seconds=${3:-120}
call_ms=${4:-20000}
s3=${5:-}
source "$here/bench/pg_lib.sh"
work=$(mktemp -d /tmp/talo-nodes-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -f "$work/ceph/run/watch.pid" ] && for f in "$work"/ceph/run/*.pid; do kill -9 "$(cat "$f")" 2>/dev/null || true; done
  stop_pg "$work/pg"
  rm -rf "$work"
}
trap cleanup EXIT
chmod 711 "$work"  # the server runs as nobody when we are root
mkdir -p "$work/pg"
start_pg "$work/pg"
psql() { "${pg_as[@]}" "$pg_bin/psql" -X -q -t -A -h 127.0.0.1 -p "$pg_port" -U talo talo "$@"; }
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
storage=""
if [ "$s3" = s3 ]; then
  mon=$(free_port); rgw=$(free_port)
  "$here/tests/recorder/start_rgw.sh" "$work/ceph" "$mon" "$rgw" BENCHACCESS bench-secret $$ > "$work/rgw.log" 2>&1
  until curl -s -o /dev/null "http://127.0.0.1:$rgw/"; do sleep 0.5; done
  printf 'bench-secret' > "$work/secret"; chmod 600 "$work/secret"
  curl -sf -o /dev/null -X PUT --aws-sigv4 "aws:amz:us-east-1:s3" --user BENCHACCESS:bench-secret \
    -H "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" \
    "http://127.0.0.1:$rgw/recordings"
  storage=", \"storage\": {\"s3\": {\"endpoint\": \"http://127.0.0.1:$rgw\", \"bucket\": \"recordings\",
    \"access_key\": \"BENCHACCESS\", \"secret_key_file\": \"$work/secret\", \"prefix\": \"bench\",
    \"delete_local_after_days\": -1}}"
fi
start_node() {
  local name=$1
  mkdir -p "$work/$name/rec"
  cat > "$work/$name/config.json" <<JSON
{"root": "rec", "console": {"port": 0}, "node": {"name": "$name"}, "central": {"url": "$pg_url"},
 "sim": {"extra_lines": $lines, "extra_call_ms": $call_ms, "loop_pause_ms": 1000}$storage}
JSON
  "$build/bin/talo-recorder" --config "$work/$name/config.json" > "$work/$name/out.txt" 2> "$work/$name/err.txt" &
  pids+=($!)
  until grep -q "console at" "$work/$name/out.txt"; do
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$work/$name/err.txt"; exit 1; }
    sleep 0.2
  done
}
start_node a
# Stamps the moment an ended row first arrives; the schema exists by now.
psql <<'SQL'
ALTER TABLE calls ADD COLUMN arrived_ms BIGINT;
CREATE FUNCTION stamp_arrival() RETURNS trigger AS $$
BEGIN
  IF NEW.end_ms > 0 AND (TG_OP = 'INSERT' OR OLD.end_ms = 0) THEN
    NEW.arrived_ms := (extract(epoch FROM clock_timestamp()) * 1000)::bigint;
  ELSIF TG_OP = 'UPDATE' THEN
    NEW.arrived_ms := OLD.arrived_ms;
  END IF;
  RETURN NEW;
END $$ LANGUAGE plpgsql;
CREATE TRIGGER stamp_arrival BEFORE INSERT OR UPDATE ON calls FOR EACH ROW EXECUTE FUNCTION stamp_arrival();
SQL
start_node b
from_ms=$(( $(date +%s%3N) + 10000 ))  # after both boards are up
sleep "$seconds"
echo "two nodes, $lines extra line channels each, calls of $call_ms ms, $seconds s"
# delays LABEL COLUMN: p50, p99 and max of COLUMN - end_ms over the calls
# that ended once both nodes were up.
delays() {
  psql <<SQL
SELECT '$1: ' || count(*) || ' calls, p50 ' ||
       round(percentile_cont(0.5) WITHIN GROUP (ORDER BY $2 - end_ms)) || ' ms, p99 ' ||
       round(percentile_cont(0.99) WITHIN GROUP (ORDER BY $2 - end_ms)) || ' ms, max ' || max($2 - end_ms) || ' ms'
  FROM calls WHERE $2 IS NOT NULL AND end_ms >= $from_ms;
SQL
}
delays "end -> row in PostgreSQL" arrived_ms
if [ -n "$storage" ]; then
  delays "end -> checked object" uploaded_ms
  printf 'bench-password-1\n' | "$build/bin/talo-recorder" user add bench --role supervisor --password-stdin \
    --config "$work/a/config.json" > /dev/null
  call=$(psql -c "SELECT gid FROM calls WHERE node = 'a' AND object_key IS NOT NULL AND object_sha256 = sha256
                  ORDER BY bytes DESC LIMIT 1")
  for name in a b; do
    port=$(grep -o ':[0-9]\+/' "$work/$name/out.txt" | tr -d ':/')
    curl -sf -c "$work/$name/cookies" -o /dev/null -H 'Content-Type: application/json' \
      -d '{"user": "bench", "password": "bench-password-1"}' "http://127.0.0.1:$port/api/login"
    for _ in $(seq 20); do
      curl -sf -b "$work/$name/cookies" -o /dev/null -w '%{time_total} %{size_download}\n' \
        "http://127.0.0.1:$port/api/calls/$call/audio.wav"
    done | sort -n | awk -v from="$([ $name = a ] && echo "node a's disk" || echo "the object store (node b)")" \
      '{ t[NR] = $1; b = $2 } END { printf "call %s as WAV from %s: %d bytes, median %.1f ms (%.0f MB/s), max %.1f ms\n",
        "'"$call"'", from, b, t[int((NR + 1) / 2)] * 1000, b / t[int((NR + 1) / 2)] / 1e6, t[NR] * 1000 }'
  done
fi

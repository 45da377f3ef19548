#!/usr/bin/env bash
# Starts the tests' one-node Ceph cluster with its S3 gateway and runs
# talo_object_store_bench against it: PUT and GET of an N MB object against
# reading the same local file. The cluster is killed at the end.
# Usage: bench/object_store_throughput.sh <build dir> [mb=50] [runs=3]
set -euo pipefail
build="$(realpath "$1")"; mb="${2:-50}"; runs="${3:-3}"
here="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
stop() {
  for f in "$work"/ceph/run/*.pid; do [ -e "$f" ] && kill -9 "$(cat "$f")" 2>/dev/null; done
  rm -rf "$work"
}
trap stop EXIT
port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mon=$(port); rgw=$(port)
"$here/tests/recorder/start_rgw.sh" "$work/ceph" "$mon" "$rgw" BENCHACCESS bench-secret $$ > "$work/start.log" 2>&1
for _ in $(seq 90); do curl -s -o /dev/null "http://127.0.0.1:$rgw/" && break; sleep 1; done
"$build/bin/talo_object_store_bench" --endpoint "http://127.0.0.1:$rgw" --access BENCHACCESS --secret bench-secret \
  --folder "$work" --mb "$mb" --runs "$runs"

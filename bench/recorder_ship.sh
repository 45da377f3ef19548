#!/bin/bash
# talo-recorder's shipper: rows per second from one node's outbox into a
# PostgreSQL 15 server started here for the run, then stopped and removed.
# Usage: bench/recorder_ship.sh BUILD_DIR [CALLS] [BATCH]
set -euo pipefail
build=$(realpath "$1")
calls=${2:-200000}
batch=${3:-500}
source "$(dirname "$0")/pg_lib.sh"
dir=$(mktemp -d /tmp/talo-ship-bench-XXXXXX)
trap 'stop_pg "$dir"; rm -rf "$dir"' EXIT
start_pg "$dir"
"$build/bin/talo_recorder_ship_bench" --calls "$calls" --batch "$batch" --db "$dir/ship.sqlite" --url "$pg_url"

#!/bin/bash
# The console's searches over CALLS calls in the central index, against the same in a
# node's SQLite index; PostgreSQL 15 started here for the run (as "nobody" when run as
# root, since the server refuses root), then stopped and removed.
# Usage: bench/recorder_central_search.sh BUILD_DIR [CALLS] [ROUNDS]
set -euo pipefail
build=$(realpath "$1")
calls=${2:-10000000}
rounds=${3:-100}
bin=/usr/lib/postgresql/15/bin
dir=$(mktemp -d /tmp/talo-central-search-bench-XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$dir"
  as=(runuser -u nobody --)
fi
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cleanup() { "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true; rm -rf "$dir"; }
trap cleanup EXIT
"${as[@]}" "$bin/initdb" -D "$dir/data" -A trust -U talo -E UTF8 --locale=C --no-sync >/dev/null
"${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
  -o "-p $port -k $dir -c listen_addresses=127.0.0.1" start >/dev/null
"${as[@]}" "$bin/createdb" -h 127.0.0.1 -p "$port" -U talo talo
"$build/bin/talo_recorder_central_search_bench" --calls "$calls" --rounds "$rounds" --db "$dir/search.sqlite" \
  --url "postgresql://talo@127.0.0.1:$port/talo"

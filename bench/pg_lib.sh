# Sourced by the benchmarks that need PostgreSQL 15: start_pg DIR starts a
# server on a free loopback port with its data under DIR (as "nobody" when
# run as root, since the server refuses root), makes the database "talo" of
# user "talo", and sets pg_url; stop_pg DIR stops it.
pg_bin=/usr/lib/postgresql/15/bin
pg_as=()
if [ "$(id -u)" -eq 0 ]; then pg_as=(runuser -u nobody --); fi

start_pg() {
  local dir=$1
  [ "$(id -u)" -eq 0 ] && chown nobody "$dir"
  pg_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "${pg_as[@]}" "$pg_bin/initdb" -D "$dir/data" -A trust -U talo -E UTF8 --locale=C --no-sync >/dev/null
  "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
    -o "-p $pg_port -k $dir -c listen_addresses=127.0.0.1" start >/dev/null
  "${pg_as[@]}" "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U talo talo
  pg_url="postgresql://talo@127.0.0.1:$pg_port/talo"
}

stop_pg() { "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$1/data" -m immediate stop >/dev/null 2>&1 || true; }

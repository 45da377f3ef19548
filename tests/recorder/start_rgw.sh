#!/usr/bin/env bash
# Starts a one-node Ceph cluster with its S3 gateway on loopback, everything
# (data, sockets, pid files, logs) under DIR, for the object-store tests:
#   start_rgw.sh DIR MON_PORT RGW_PORT ACCESS_KEY SECRET_KEY OWNER_PID
# Returns once the daemons are started and the S3 user exists; the caller
# waits for the gateway to answer and kills the daemons by their pid files
# (DIR/run/*.pid). No authentication inside the cluster: it is reachable on
# loopback only and lives for one test run.
set -euo pipefail
dir=$1 mon_port=$2 rgw_port=$3 access=$4 secret=$5 owner=$6
mkdir -p "$dir"/{run,log,mon,osd/0,rgw}
# Should the test program die without stopping the cluster, this watcher
# does: it kills the daemons and removes DIR once OWNER_PID is gone.
setsid bash -c '
  while kill -0 "$1" 2>/dev/null; do sleep 1; done
  for f in "$2"/run/*.pid; do [ "$f" = "$2/run/watch.pid" ] || kill -9 "$(cat "$f")"; done
  rm -rf "$2"' watch "$owner" "$dir" </dev/null >/dev/null 2>&1 &
echo $! >"$dir/run/watch.pid"
conf=$dir/ceph.conf
cat >"$conf" <<EOF
[global]
fsid = $(cat /proc/sys/kernel/random/uuid)
mon host = v1:127.0.0.1:$mon_port
mon initial members = a
ms bind msgr2 = false
auth cluster required = none
auth service required = none
auth client required = none
run dir = $dir/run
admin socket = $dir/run/\$name.asok
pid file = $dir/run/\$name.pid
log file = $dir/log/\$name.log
keyring = $dir/keyring
osd objectstore = memstore
memstore device bytes = 1073741824
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon allow pool size one = true
mon max pg per osd = 1000
mon warn on pool no redundancy = false
osd crush chooseleaf type = 0
# A daemon's first command can reach the monitor before its map and be
# refused; the OSD's placement is set below instead.
osd class update on start = false
osd crush update on start = false
[mon.a]
mon data = $dir/mon/a
[osd.0]
osd data = $dir/osd/0
[client.rgw.a]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw data = $dir/rgw
rgw dns name = localhost
EOF
ceph=(ceph -c "$conf" --connect-timeout 30)
# The monitor refuses commands for a moment after it starts: try again.
retry() {
  for _ in $(seq 60); do "$@" && return 0; sleep 0.5; done
  "$@"
}
monmaptool --create --clobber --fsid "$(sed -n 's/^fsid = //p' "$conf")" --addv a "v1:127.0.0.1:$mon_port" \
  "$dir/monmap" >/dev/null
ceph-mon -c "$conf" -i a --mkfs --monmap "$dir/monmap"
ceph-mon -c "$conf" -i a
retry "${ceph[@]}" mon stat >/dev/null 2>&1
id=$(retry "${ceph[@]}" osd create 2>/dev/null)
ceph-osd -c "$conf" -i "$id" --mkfs 2>>"$dir/log/mkfs.log"
retry "${ceph[@]}" osd crush add-bucket node host >/dev/null 2>&1
retry "${ceph[@]}" osd crush move node root=default >/dev/null 2>&1
retry "${ceph[@]}" osd crush add "osd.$id" 1.0 host=node >/dev/null 2>&1
ceph-osd -c "$conf" -i "$id"
radosgw -c "$conf" -n client.rgw.a
radosgw-admin -c "$conf" user create --uid test --display-name test --access-key "$access" --secret "$secret" \
  >"$dir/log/user.json"

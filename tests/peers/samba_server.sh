#!/bin/sh
# A private Samba server for the share monitor's tests, run in a network
# namespace of its own (unshare --net) so that its clients can come from
# 127.0.0.2, which no name lookup turns into "localhost":
#   samba_server.sh FOLDER
# writes FOLDER/smb.conf (one share, "files", on 127.0.0.1 port 4450), a
# Samba user root with password "pw", FOLDER/server.pid, and runs smbd in
# the foreground until it is killed.
set -e
folder=$1
ip link set lo up
# Loopback traffic of this namespace leaves from 127.0.0.2.
ip route replace local 127.0.0.0/8 dev lo src 127.0.0.2 table local
ip route replace local 127.0.0.1 dev lo src 127.0.0.2 table local
for dir in share state private lock cache pid ncalrpc; do mkdir -p "$folder/$dir"; done
cat >"$folder/smb.conf" <<CONF
[global]
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = 4450
  disable netbios = yes
  state directory = $folder/state
  private dir = $folder/private
  lock directory = $folder/lock
  cache directory = $folder/cache
  pid directory = $folder/pid
  ncalrpc dir = $folder/ncalrpc
  passdb backend = tdbsam:$folder/private/passdb.tdb
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  log level = 0
[files]
  path = $folder/share
  read only = yes
CONF
printf 'pw\npw\n' | smbpasswd -c "$folder/smb.conf" -s -a root >/dev/null
echo $$ >"$folder/server.pid"
exec /usr/sbin/smbd --foreground --no-process-group -s "$folder/smb.conf" --debug-stdout

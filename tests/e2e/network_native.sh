#!/usr/bin/env bash
# The listening socket monitor of the native program against real sockets:
# a web server's listener with its owner, one bound elsewhere than 127.0.0.1
# (never reported: loopback cannot reach it), its end, and a client of the
# sharing port 445 coming from 127.0.0.2.
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
peer="$here/../peers/tcp_peer.py"
store=$work/policy.sqlite
peers=()
# Each peer runs under timeout, which passes the TERM on.
at_exit 'kill "${peers[@]}" 2>/dev/null'
run() { timeout 120 "$warderon" -run -cycles 1 -store "$store"; }
set_policy() { "$warderon" -policy set "$@" -type integer -store "$store" >/dev/null; }

# start_peer OUTPUT ARGS...: a peer in the background, bounded in time;
# waits for its first line.
start_peer() {
  local output=$1
  shift
  timeout 300 python3 "$peer" "$@" >"$output" 2>&1 &
  peers+=($!)
  for _ in $(seq 50); do [ -s "$output" ] && return 0; sleep 0.1; done
  return 1
}

set_policy general SocketsEnabled 1
run >/dev/null  # every listener of the machine is known from here on

timeout 300 python3 -m http.server 0 --bind 127.0.0.1 >"$work/web" 2>&1 &
web=$!
peers+=($web)
wait_for_text "$work/web" "Serving HTTP" 10
web_port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/web" | head -1)
python=$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))')
start_peer "$work/elsewhere" listen 127.0.0.2 0
elsewhere_port=$(head -1 "$work/elsewhere")

out=$(run)
expect_contains "one alert for the new listener" "$out" "listenning TCP socket changes"
expect_line "the web server is reported with its owner" "$out" "  New socket @ $python:$web_port"
expect_no_line "a listener loopback cannot reach is not reported" "$out" ".* socket @ .*:$elsewhere_port"
out=$(run)
# Other scripts open and close listeners beside this one: judge only ours.
expect_no_line "the next run is quiet about the listener" "$out" ".* socket @ .*:$web_port"

kill "$web"
wait "$web" 2>/dev/null
out=$(run)
expect_line "the stopped server is reported missing" "$out" "  Missing socket @ $python:$web_port"

# A client of the sharing port, from another loopback address.
if start_peer "$work/smb" listen 0.0.0.0 445 && [ "$(head -1 "$work/smb")" = 445 ]; then
  run >/dev/null  # the listener on 445 is known
  start_peer "$work/client" connect 127.0.0.2 127.0.0.1 445
  out=$(run)
  expect_not_contains "clients are not watched by default" "$out" "NET-"
  set_policy general SharesListClients 1
  out=$(run)
  expect_line "the client of port 445 is reported" "$out" "  New socket @ NET-127.0.0.2:445"
else
  echo "skip the client of port 445: the port cannot be bound here ($(cat "$work/smb"))"
fi

finish

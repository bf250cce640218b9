#!/usr/bin/env bash
# The network monitors of warderon.exe under Wine against real sockets:
# Wine's TCP table names no owning process for Linux programs, so their
# listeners are owned by "unknown". An enabled share monitor must leave the
# program running (Wine's share calls fail, and its connection call would
# end the process if it were ever reached).
set -u
. "$(dirname "$0")/wine_common.sh"
peer="$(cd "$(dirname "$0")" && pwd)/../peers/tcp_peer.py"
peers=()
# Each peer runs under timeout, which passes the TERM on.
at_exit 'kill "${peers[@]}" 2>/dev/null'
set_general() { quiet reg add "$key\\general" /v "$1" /t REG_DWORD /d "$2" /f; }

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

reset_policy
set_general SocketsEnabled 1
set_general SharesEnabled 1
out=$(run)  # every listener of the machine is known from here on
expect_contains "the program survives an enabled share monitor" "$out" "Warderon is stopping"

start_peer "$work/listener" listen 127.0.0.1 0
port=$(head -1 "$work/listener")
listener=${peers[-1]}
start_peer "$work/elsewhere" listen 127.0.0.2 0
elsewhere_port=$(head -1 "$work/elsewhere")
out=$(run)
expect_line "the listener is reported, owned by unknown" "$out" "  New socket @ unknown:$port"
expect_no_line "a listener loopback cannot reach is not reported" "$out" ".* socket @ .*:$elsewhere_port"
expect_not_contains "no share is reported" "$out" "Share: "
out=$(run)
# Other scripts open and close listeners beside this one: judge only ours.
expect_no_line "the next run is quiet about the listener" "$out" ".* socket @ .*:$port"

kill "$listener"
wait "$listener" 2>/dev/null
expect_line "the closed listener is reported missing" "$(run)" "  Missing socket @ unknown:$port"

if start_peer "$work/smb" listen 0.0.0.0 445 && [ "$(head -1 "$work/smb")" = 445 ]; then
  run >/dev/null  # the listener on 445 is known
  start_peer "$work/client" connect 127.0.0.2 127.0.0.1 445
  set_general SharesListClients 1
  expect_line "the client of port 445 is reported" "$(run)" "  New socket @ NET-127.0.0.2:445"
else
  echo "skip the client of port 445: the port cannot be bound here ($(cat "$work/smb"))"
fi

reset_policy
finish

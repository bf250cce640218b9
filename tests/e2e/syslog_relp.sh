#!/usr/bin/env bash
# Alerts to a real rsyslog over RELP (imrelp, plain and TLS with a client
# certificate) while the collector goes away: stopped for three cycles while
# a new listener appears every cycle, the watchdog killed with SIGKILL in the
# middle of the outage and started again; and stopped while a backlog of
# 10,000 lines drains. Every line must arrive, in the order raised, with its
# raise time; and down for longer than the outbox may hold.
#   syslog_relp.sh WARDERON
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
collector=
runner=
peers=()
stop_collector() { [ -n "$collector" ] && kill "$collector" 2>/dev/null && wait "$collector" 2>/dev/null; collector=; }
stop_runner() { [ -n "$runner" ] && kill -9 "$runner" 2>/dev/null && wait "$runner" 2>/dev/null; runner=; }
at_exit 'stop_runner; stop_collector; kill "${peers[@]}" 2>/dev/null'
. "$here/program_mode.sh" native "$1"

certificate() {  # NAME USAGE: a certificate of the test's CA for 127.0.0.1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$work/$1.key" \
    -out "$work/$1.csr" >/dev/null 2>&1
  printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = %s\n' "$2" >"$work/$1.ext"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -extfile "$work/$1.ext" -out "$work/$1.pem" >/dev/null 2>&1
}
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Warderon Log CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem" >/dev/null 2>&1
certificate server serverAuth
certificate client clientAuth
relp_port=$(free_port)
relp_tls_port=$(free_port)
timed=$work/collector/timed.log
start_collector() {
  timeout 600 sh "$here/../peers/syslog_collector.sh" "$work/collector" "$(free_port)" \
    "$(free_port)" "$work/ca.pem" "$work/server.pem" "$work/server.key" "$relp_port" \
    "$relp_tls_port" >>"$work/collector.out" 2>&1 &
  collector=$!
  for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/"$relp_tls_port") 2>/dev/null && return 0; sleep 0.1; done
  echo "the collector did not start:"; cat "$work/collector.out"
}
# wait_for_lines PATTERN N: until N lines matching PATTERN arrived (60 s at most).
wait_for_lines() {
  for _ in $(seq 600); do [ "$(grep -cE -- "$1" "$timed" 2>/dev/null)" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}
new_listener() {  # prints the port of a new listener that stays until the end
  timeout 300 python3 "$here/../peers/tcp_peer.py" listen 127.0.0.1 0 >"$work/listener.$1" 2>&1 &
  peers+=($!)
  for _ in $(seq 100); do [ -s "$work/listener.$1" ] && break; sleep 0.1; done
  head -1 "$work/listener.$1"
}
outbox=$(dirname "$store")/outbox-syslog.dat
in_outbox() { [ -s "$outbox" ] && grep -aqE "$1" "$outbox"; }
socket_line() { printf 'New socket @ [^|]*:%s([^0-9]|$)' "$1"; }  # the line of a listener's port

start_collector
set_setting SyslogEnabled 1 integer
set_setting Syslog 127.0.0.1 string
set_setting SyslogTransport relp string
set_setting SyslogFormat rfc5424 string
set_setting SyslogPort "$relp_port" integer
set_setting SocketsEnabled 1 integer
set_setting Delay 0 integer
run_cycles 1 >/dev/null  # the listeners of now are known
wait_for_lines "msg=Warderon starting" 1 && pass "RELP: delivered" ||
  fail "nothing arrived over RELP: $(cat "$timed" "$work/collector.out" 2>/dev/null)"

for transport in plain tls; do
  if [ "$transport" = tls ]; then
    set_setting SyslogPort "$relp_tls_port" integer
    set_setting SyslogCAFile "$work/ca.pem" string
    set_setting SyslogCertFile "$work/client.pem" string
    set_setting SyslogKeyFile "$work/client.key" string
  fi
  stop_collector
  : >"$timed"
  raised_after=$(date -u +%s)
  "$warderon" -run -store "$store" >"$work/run.1" 2>&1 &
  runner=$!
  ports=()
  for cycle in 1 2 3; do
    ports+=("$(new_listener "$transport.$cycle")")
    for _ in $(seq 300); do in_outbox "$(socket_line "${ports[-1]}")" && break; sleep 0.1; done
    if [ "$cycle" = 2 ]; then  # killed in the middle of the outage, and started again
      # Once the cycle has also stored the listener in its baseline: a kill
      # between queueing the alert and that would rightly raise it again.
      for _ in $(seq 300); do
        "$warderon" -policy list Sockets -store "$store" 2>/dev/null | grep -q ":${ports[-1]}" && break
        sleep 0.1
      done
      stop_runner
      "$warderon" -run -store "$store" >"$work/run.2" 2>&1 &
      runner=$!
    fi
  done
  in_outbox "$(socket_line "${ports[2]}")" || fail "$transport: not queued: $(strings "$outbox" | tail -3)"
  sleep 2  # so that a time of sending could not pass for the raise time
  start_collector
  wait_for_lines "$(socket_line "${ports[2]}")" 1 ||
    fail "$transport: the backlog did not arrive: $(cat "$timed" "$work"/run.*)"
  stop_runner
  got=$(grep -oE "$(socket_line "(${ports[0]}|${ports[1]}|${ports[2]})")" "$timed" |
    sed -E 's/.*:([0-9]+).*/\1/' | tr '\n' ' ')
  [ "$got" = "${ports[*]} " ] && pass "$transport: every line of the outage arrives once, in order" ||
    fail "$transport: arrived ($got), raised (${ports[*]})"
  stamp=$(grep -E "$(socket_line "${ports[0]}")" "$timed" | head -1 | sed -n 's/^time=\([^|]*\)|.*/\1/p')
  stamp_s=$(date -u -d "$stamp" +%s 2>/dev/null || echo 0)
  [ "$stamp_s" -ge "$raised_after" ] && [ "$stamp_s" -le $((raised_after + 60)) ] &&
    [ "$stamp_s" -lt $(($(date -u +%s) - 1)) ] && pass "$transport: with its raise time ($stamp)" ||
    fail "$transport: time $stamp, raised after $raised_after"
done

# A backlog of 10,000 lines; the collector is stopped as it starts to drain
# and comes back: none is lost, and only a window's worth comes twice.
watched=$work/watched
mkdir -p "$watched"
"$warderon" -policy set IncludeDirs "$watched/" 1 -type integer -store "$store" >/dev/null
set_setting FilesEnabled 1 integer
(cd "$watched" && seq -f 'f%05g' 10000 | xargs touch)
run_cycles 1 >/dev/null  # the tree is catalogued
stop_collector
: >"$timed"
find "$watched" -type f -delete  # reported, while the collector is down, as 10,000 lines
run_cycles 1 >/dev/null
[ "$(strings "$outbox" | grep -c "$watched/f")" -ge 10000 ] && pass "10,000 lines wait in the outbox" ||
  fail "outbox: $(strings "$outbox" | grep -c "$watched/f") lines"
start_collector
"$warderon" -run -store "$store" >"$work/run.3" 2>&1 &
runner=$!
wait_for_lines "$watched/f" 1
stop_collector
before=$(grep -cF "$watched/f" "$timed")
start_collector
wait_for_lines "$watched/f" 10000
stop_runner
all=$(grep -oE "$watched/f[0-9]+" "$timed" | sort | uniq -c)
distinct=$(printf '%s\n' "$all" | grep -c .)
twice=$(printf '%s\n' "$all" | awk '$1 > 1' | grep -c .)
[ "$distinct" = 10000 ] && [ "$twice" -le 1128 ] &&
  pass "a drain broken after $before lines: all 10,000 arrive, $twice twice" ||
  fail "distinct $distinct, twice $twice, before the break $before"

# Down for longer than the outbox may hold (OutboxMaxMB 1): the file stays
# within the bound, and the first thing the collector gets when it is back
# says how many went.
(cd "$watched" && seq -f 'a-rather-long-file-name-so-that-the-outbox-fills-soon-%05g' 20000 | xargs touch)
run_cycles 1 >/dev/null  # catalogued
stop_collector
set_setting OutboxMaxMB 1 integer
find "$watched" -type f -delete
run_cycles 1 >/dev/null
size=$(stat -c %s "$outbox")
[ "$size" -le 1048576 ] && pass "a full outbox stays within OutboxMaxMB ($size bytes)" ||
  fail "the outbox grew to $size bytes"
: >"$timed"
start_collector
run_cycles 1 >/dev/null
wait_for_lines "Warderon stopping" 2
first=$(head -1 "$timed")
dropped=$(printf '%s' "$first" | sed -n 's/.*msg=\([0-9]*\) alerts dropped while syslog was unreachable.*/\1/p')
arrived=$(grep -c "ERASED : $watched/a-rather" "$timed")
[ -n "$dropped" ] && [ $((dropped + arrived)) -ge 20000 ] && [ $((dropped + arrived)) -le 20001 ] &&
  pass "the dropped notice comes first: $dropped dropped, $arrived arrived" ||
  fail "first line: $first; $arrived arrived"

finish

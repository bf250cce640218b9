#!/usr/bin/env bash
# Alerts to a real syslog collector (rsyslog, private, on 127.0.0.1) over
# TCP and TLS in the tagged and structured forms, checked on what rsyslog
# parsed, and over RELP; a collector restarted between two alerts, which
# must get the second; and a collector that is down while an alert is raised and the
# watchdog killed meanwhile: the alert waits in the outbox and arrives, when
# both are back, with its raise time and before what came after it.
#   syslog_collector.sh native WARDERON
#   syslog_collector.sh wine WINE-RUN WARDERON.EXE
set -u
mode=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
collector=
peers=()
stop_collector() { [ -n "$collector" ] && kill "$collector" 2>/dev/null && wait "$collector" 2>/dev/null; collector=; }
at_exit 'stop_collector; kill "${peers[@]}" 2>/dev/null'

. "$here/program_mode.sh" "$@"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Warderon Log CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem" >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$work/server.key" \
  -out "$work/server.csr" >/dev/null 2>&1
printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >"$work/server.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/server.ext" -out "$work/server.pem" >/dev/null 2>&1
tcp_port=$(free_port)
tls_port=$(free_port)
relp_port=$(free_port)
relp_tls_port=$(free_port)
parsed=$work/collector/parsed.log

start_collector() {
  timeout 300 sh "$here/../peers/syslog_collector.sh" "$work/collector" "$tcp_port" "$tls_port" \
    "$work/ca.pem" "$work/server.pem" "$work/server.key" "$relp_port" "$relp_tls_port" \
    >"$work/collector.out" 2>&1 &
  collector=$!
  for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/"$tls_port") 2>/dev/null && return 0; sleep 0.1; done
  echo "the collector did not start:"; cat "$work/collector.out"
}
# parsed_line TEXT: the first parsed message holding TEXT.
parsed_line() { grep -F -- "$1" "$parsed" 2>/dev/null | head -1; }
wait_for_parsed() { for _ in $(seq 100); do [ -n "$(parsed_line "$1")" ] && return 0; sleep 0.1; done; return 1; }

start_collector
set_setting SyslogEnabled 1 integer
set_setting Syslog 127.0.0.1 string
set_setting SyslogFacility 16 integer

set_setting SyslogTransport tcp string
set_setting SyslogPort "$tcp_port" integer
set_setting SyslogFormat rfc3164 string
run_cycles 1 >/dev/null
wait_for_parsed "msg= Warderon starting"
line=$(parsed_line "msg= Warderon starting")
expect_line "TCP, RFC 3164: tag, severity and facility" "$line" \
  "host=[^|]+\|tag=warderon\[[0-9]+\]:\|app=warderon\|sev=4\|fac=16\|msg= Warderon starting.*\|sd=-"

: >"$parsed"
set_setting SyslogFormat rfc5424 string
set_setting Beep loud string  # a wrongly typed setting: one more alert
run_cycles 1 >/dev/null
set_setting Beep 0 integer
wait_for_parsed "msg=Warderon starting"
expect_line "TCP, RFC 5424: app name and the alert as structured data" \
  "$(parsed_line "msg=Warderon starting")" \
  'host=[^|]+\|tag=warderon\[[0-9]+\]:?\|app=warderon\|sev=4\|fac=16\|msg=Warderon starting\|sd=\[meta sequenceId="1"\]\[origin software="warderon" swVersion="[0-9A-F]{4}\.[0-9A-F]{4}"\]\[warderon@32473 subject="Warderon starting" level="0"\]'
wait_for_parsed "setting of the wrong type"
ids=$(grep -o 'sequenceId="[0-9]*"' "$parsed" | grep -o '[0-9]*' | tr '\n' ' ')
[ "$ids" = "$(seq -s ' ' 1 "$(echo "$ids" | wc -w)") " ] && pass "sequence ids count every message from 1 ($ids)" ||
  fail "sequence ids: $ids"

: >"$parsed"
set_setting SyslogTransport tls string
set_setting SyslogPort "$tls_port" integer
set_setting SyslogCAFile "$(program_path "$work/ca.pem")" string
run_cycles 1 >/dev/null
wait_for_parsed "msg=Warderon starting" && pass "TLS, RFC 5424: delivered" ||
  fail "nothing arrived over TLS: $(cat "$parsed" 2>/dev/null)"

# A certificate the CA file does not vouch for is refused.
: >"$parsed"
set_setting SyslogCAFile "" string
out=$(run_cycles 1)
sleep 1
[ -z "$(parsed_line "Warderon")" ] && pass "an unknown CA is refused" || fail "delivered to an unknown CA"
expect_contains "and reported" "$out" "lines not sent"
set_setting SyslogCAFile "$(program_path "$work/ca.pem")" string

# RELP (the client over this platform's sockets): delivered and answered.
: >"$parsed"
set_setting SyslogTransport relp string
set_setting SyslogPort "$relp_port" integer
set_setting SyslogCAFile "" string
out=$(run_cycles 1)
wait_for_parsed "msg=Warderon starting" && [ -z "$(printf '%s' "$out" | grep "not sent")" ] &&
  pass "RELP: delivered and answered" || fail "RELP: $out $(cat "$parsed" 2>/dev/null)"
# RELP over TLS: the collector wants the client's certificate, PEM files
# on Linux, one PKCS#12 file (certificate and key) on Windows.
# A key each of whose numbers has its full length: Wine's TLS (GnuTLS below
# schannel) fails to import one with a shorter prime or coefficient ("The
# scanning of a large integer has failed"), which a random key is now and then.
for _ in $(seq 50); do
  openssl genrsa -out "$work/client.key" 2048 >/dev/null 2>&1
  openssl rsa -in "$work/client.key" -text -noout 2>/dev/null | python3 -c '
import re, sys
full = {"modulus": 256, "privateExponent": 256, "prime1": 128, "prime2": 128,
        "exponent1": 128, "exponent2": 128, "coefficient": 128}
sizes, name = {}, None
for line in sys.stdin:
    head = re.match(r"^(\w+):", line)
    if head:
        name = head.group(1)
        sizes[name] = b""
    elif name in full and re.match(r"^\s+[0-9a-f:]+$", line):
        sizes[name] += bytes.fromhex(line.strip().replace(":", ""))
sys.exit(0 if all(len(sizes.get(n, b"").lstrip(b"\0")) == length for n, length in full.items()) else 1)
' && break
done
openssl req -new -key "$work/client.key" -subj "/CN=127.0.0.1" -out "$work/client.csr" >/dev/null 2>&1
printf 'extendedKeyUsage = clientAuth\n' >"$work/client.ext"
openssl x509 -req -in "$work/client.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/client.ext" -out "$work/client.pem" >/dev/null 2>&1
: >"$parsed"
set_setting SyslogPort "$relp_tls_port" integer
set_setting SyslogCAFile "$(program_path "$work/ca.pem")" string
out=$(run_cycles 1)
expect_contains "RELP over TLS without a client certificate: refused, reported" "$out" "not sent yet"
if [ "$mode" = native ]; then
  set_setting SyslogCertFile "$work/client.pem" string
  set_setting SyslogKeyFile "$work/client.key" string
else
  openssl pkcs12 -export -in "$work/client.pem" -inkey "$work/client.key" -passout pass: \
    -out "$work/client.pfx"
  set_setting SyslogCertFile "$(program_path "$work/client.pfx")" string
fi
out=$(run_cycles 1)
wait_for_parsed "msg=Warderon starting" && [ -z "$(printf '%s' "$out" | grep "not sent")" ] &&
  pass "RELP over TLS with the client's certificate: delivered and answered" ||
  fail "RELP over TLS: $out $(tail -3 "$work/collector.out")"
set_setting SyslogCertFile "" string
set_setting SyslogKeyFile "" string
set_setting SyslogTransport tls string
set_setting SyslogPort "$tls_port" integer

# The collector restarts between two alerts: the second arrives.
: >"$parsed"
set_setting Delay 0 integer
set_setting SocketsEnabled 1 integer
run_cycles 1 >/dev/null  # the listeners of now are known
run_cycles 2 >"$work/run.out" 2>&1 &
runner=$!
wait_for_parsed "Warderon starting" || fail "the first alert did not arrive"
stop_collector
start_collector
timeout 300 python3 "$here/../peers/tcp_peer.py" listen 127.0.0.1 0 >"$work/listener" 2>&1 &
peers+=($!)
wait "$runner"
wait_for_parsed "New socket @" && pass "an alert after the collector's restart arrives" ||
  fail "nothing after the restart: $(cat "$parsed"; cat "$work/run.out")"

# The collector is down for the hour of an intrusion, and the watchdog is
# killed before it comes back.
timed=$work/collector/timed.log
set_setting SyslogTransport tcp string
set_setting SyslogPort "$tcp_port" integer
set_setting SyslogFormat rfc5424 string
run_cycles 1 >/dev/null  # the listeners of now are known
stop_collector
: >"$timed"
timeout 300 python3 "$here/../peers/tcp_peer.py" listen 127.0.0.1 0 >"$work/intruder" 2>&1 &
peers+=($!)
for _ in $(seq 100); do [ -s "$work/intruder" ] && break; sleep 0.1; done
raised_after=$(date -u +%s)
if [ "$mode" = native ]; then
  set_setting Delay 1 integer
  "$warderon" -run -store "$store" >"$work/killed.out" 2>&1 &
  runner=$!
  outbox=$(dirname "$store")/outbox-syslog.dat
  for _ in $(seq 300); do [ -s "$outbox" ] && grep -q "New socket @" "$outbox" && break; sleep 0.1; done
  kill -9 "$runner"
  wait "$runner" 2>/dev/null
  runner=
  grep -q "New socket @" "$outbox" && pass "the undelivered alert is in the outbox when killed" ||
    fail "no outbox entry before the kill: $(strings "$outbox"; cat "$work/killed.out")"
  set_setting Delay 0 integer
else
  run_cycles 1 >/dev/null
fi
sleep 2  # so that a time of sending could not pass for the raise time
start_collector
run_cycles 1 >/dev/null
wait_for_parsed "New socket @"
late=$(grep -F "New socket @" "$timed" | head -1)
stamp=$(printf '%s' "$late" | sed -n 's/^time=\([^|]*\)|.*/\1/p')
stamp_s=$(date -u -d "$stamp" +%s 2>/dev/null || echo 0)
[ "$stamp_s" -ge "$raised_after" ] && [ "$stamp_s" -le $((raised_after + 30)) ] &&
  [ "$stamp_s" -lt $(($(date -u +%s) - 1)) ] &&
  pass "the late line arrives with its raise time ($stamp)" ||
  fail "late line time $stamp ($stamp_s) not raise time ~$raised_after: $late"
order=$(grep -nF -e "New socket @" -e "msg=Warderon starting" "$timed" | cut -d: -f1 | tr '\n' ' ')
first_socket=$(grep -nF "New socket @" "$timed" | head -1 | cut -d: -f1)
last_start=$(grep -nF "msg=Warderon starting" "$timed" | tail -1 | cut -d: -f1)
[ -n "$first_socket" ] && [ -n "$last_start" ] && [ "$first_socket" -lt "$last_start" ] &&
  pass "the backlog goes before the new start's alerts" || fail "order: $order"

finish

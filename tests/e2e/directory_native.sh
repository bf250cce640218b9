#!/usr/bin/env bash
# The directory group monitor of the native program against a real LDAP
# directory (OpenLDAP's slapd, private, on 127.0.0.1 with StartTLS): nested
# groups, a cycle, a group of 5,000, a second cycle that is quiet, and a
# password that the program refuses to send without TLS.
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/policy.sqlite
port=$(free_port)
timeout 300 sh "$here/../peers/ldap_server.sh" "$work/ldap" "$port" >"$work/ldap.out" 2>&1 &
pid=$!
# The server runs under timeout, which passes a TERM on (a KILL would not be).
at_exit 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null'
run() { timeout 120 "$warderon" -run -cycles 1 -store "$store"; }
set_text() { "$warderon" -policy set general "$1" "$2" -type string -store "$store" >/dev/null; }
binds() { grep -c 'BIND dn="cn=reader,dc=test"' "$work/ldap/slapd.log"; }

wait_for_text "$work/ldap.out" "ready:" 60 || { fail "the test directory started"; cat "$work/ldap.out"; finish; exit; }
for _ in $(seq 50); do (echo >/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done

"$warderon" -policy set general ADEnabled 1 -type integer -store "$store" >/dev/null
"$warderon" -policy set general ADPort "$port" -type integer -store "$store" >/dev/null
set_text ad 127.0.0.1
set_text ADDomainSuffix ""
set_text ADTls starttls
set_text ADCAFile "$work/ldap/ca.pem"
set_text userid cn=reader,dc=test
set_text password reader-secret
for group in g c1 big; do
  "$warderon" -policy set Groups "$group" 1 -type integer -store "$store" >/dev/null
done

out=$(run)
group_lines() { printf '%s\n' "$out" | awk -v s="changes to group:$1" '$0 == s { on = 1; getline; next } on && $0 == "" { exit } on { print }'; }
expect_contains "g's members are reported" "$out" "changes to group:g"
[ "$(group_lines g | tr '\n' '|')" = "h|h.u|smith, john|" ] &&
  pass "h, then h's member h.u, then a name with an escaped comma" ||
  fail "g's lines: $(group_lines g | tr '\n' '|')"
[ "$(group_lines c1 | tr '\n' '|')" = "c2|c2.c1|" ] && pass "a cycle is cut" ||
  fail "c1's lines: $(group_lines c1 | tr '\n' '|')"
[ "$(group_lines big | wc -l)" -eq 5000 ] && pass "a group of 5,000 is seen whole" ||
  fail "big has $(group_lines big | wc -l) lines"
stored=$("$warderon" -policy list group-big -store "$store" | grep -c $'\tinteger\t1$')
[ "$stored" -eq 5000 ] && pass "and stored" || fail "group-big holds $stored"
expect_not_contains "the next run is quiet" "$(run)" "changes to group:"

# Without TLS the password is not sent: the monitor's own finding, said
# once however many runs meet it, and the cycle goes on; no bind.
before=$(binds)
set_text ADTls none
"$warderon" -policy set general GeneralUpdate 1 -type integer -store "$store" >/dev/null
"$warderon" -policy set general ADDelay 0 -type integer -store "$store" >/dev/null
"$warderon" -policy set general Delay 0 -type integer -store "$store" >/dev/null
out=$(timeout 120 "$warderon" -run -cycles 2 -store "$store")
[ "$(printf '%s\n' "$out" | grep -c '^directory cannot be used$')" -eq 1 ] &&
  pass "a bind in clear is refused, said once in two runs" || fail "refusal: $out"
expect_contains "saying why" "$out" "the password was not sent"
expect_not_contains "and the cycle goes on" "$out" "run time error"
[ "$(binds)" -eq "$before" ] && pass "the directory saw no bind" || fail "the directory saw a bind"

# A wrong password is said too, not taken for an unreachable directory.
set_text ADTls starttls
set_text password wrong-secret
out=$(run)
expect_contains "a refused bind is said" "$out" "Invalid credentials"
expect_not_contains "without the password" "$out" "wrong-secret"

# A certificate of a CA the settings do not name is refused and said.
set_text password reader-secret
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Other CA" -keyout "$work/other.key" \
  -out "$work/other-ca.pem" >/dev/null 2>&1
set_text ADCAFile "$work/other-ca.pem"
out=$(run)
expect_contains "a refused certificate is said" "$out" "TLS failed"

# A server that accepts and never answers the TLS handshake costs one
# bounded wait, and is silent like an unreachable one.
silent_port=$(free_port)
/usr/bin/python3 "$here/../peers/silent_server.py" --port "$silent_port" --seconds 150 >"$work/silent.out" 2>&1 &
silent=$!
wait_for_text "$work/silent.out" ready 20
"$warderon" -policy delete Groups -store "$store"
"$warderon" -policy set Groups g 1 -type integer -store "$store" >/dev/null
"$warderon" -policy set general ADPort "$silent_port" -type integer -store "$store" >/dev/null
set_text ADTls ldaps
start=$(date +%s)
out=$(run)
took=$(($(date +%s) - start))
kill "$silent" 2>/dev/null
[ "$took" -lt 60 ] && pass "a stalled handshake is cut ($took s)" || fail "a stalled handshake held $took s"
expect_not_contains "and is silent" "$out" "directory cannot be used"
expect_not_contains "never showing the password" "$out" "reader-secret"

finish

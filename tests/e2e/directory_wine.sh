#!/usr/bin/env bash
# The directory group monitor of warderon.exe under Wine against a real LDAP
# directory (slapd on 127.0.0.1) through the system's LDAP library, with
# StartTLS and a simple bind. Wine's LDAP library takes its CA from
# LDAPTLS_CACERT (Windows: the machine's trust store).
set -u
. "$(dirname "$0")/wine_common.sh"
here=$(cd "$(dirname "$0")" && pwd)
port=$(free_port)
timeout 300 sh "$here/../peers/ldap_server.sh" "$work/ldap" "$port" >"$work/ldap.out" 2>&1 &
pid=$!
# The server runs under timeout, which passes a TERM on (a KILL would not be).
at_exit 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; reset_policy'
general="$key\\general"
set_text() { quiet reg add "$general" /v "$1" /t REG_SZ /d "$2" /f; }
set_number() { quiet reg add "$general" /v "$1" /t REG_DWORD /d "$2" /f; }
run_tls() { LDAPTLS_CACERT="$work/ldap/ca.pem" run; }
simple_binds() { grep -c 'BIND dn="cn=reader,dc=test" method=128' "$work/ldap/slapd.log"; }

wait_for_text "$work/ldap.out" "ready:" 60 || { fail "the test directory started"; cat "$work/ldap.out"; finish; exit; }
for _ in $(seq 50); do (echo >/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done

reset_policy
set_number ADEnabled 1
set_number ADPort "$port"
set_text ad 127.0.0.1
set_text ADDomainSuffix ""
set_text ADTls starttls
set_text userid cn=reader,dc=test
set_text password reader-secret
for group in g c1; do quiet reg add "$key\\Groups" /v "$group" /t REG_DWORD /d 1 /f; done

out=$(run_tls)
group_lines() { printf '%s\n' "$out" | awk -v s="changes to group:$1" '$0 == s { on = 1; getline; next } on && $0 == "" { exit } on { print }'; }
[ "$(group_lines g | tr '\n' '|')" = "h|h.u|smith, john|" ] &&
  pass "g: h, then h.u, then a name with an escaped comma" ||
  fail "g's lines: $(group_lines g | tr '\n' '|'): $out"
[ "$(group_lines c1 | tr '\n' '|')" = "c2|c2.c1|" ] && pass "a cycle is cut" ||
  fail "c1's lines: $(group_lines c1 | tr '\n' '|')"
[ "$(simple_binds)" -ge 1 ] && pass "the bind went over TLS" || fail "no bind seen"
expect_not_contains "the next run is quiet" "$(run_tls)" "changes to group:"

# Without TLS, Windows binds by negotiation: the password never goes out in
# a simple bind (this test directory knows no negotiation, so nothing is
# found, silently).
before=$(simple_binds)
set_text ADTls none
set_number GeneralUpdate 1
quiet reg delete "$key\\group-g" /f
out=$(run_tls)
expect_not_contains "nothing is found without a negotiated bind" "$out" "changes to group:g"
[ "$(simple_binds)" -eq "$before" ] && pass "no simple bind was sent" || fail "a simple bind was sent"

finish

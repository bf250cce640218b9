#!/usr/bin/env bash
# Alert mail over TLS with authentication, from the real program to a real
# SMTP server (aiosmtpd) with a CA and certificate made here: STARTTLS with
# AUTH PLAIN and with AUTH LOGIN, TLS from the first byte, a wrong password,
# a certificate of another CA, and a server that offers AUTH but no TLS (the
# password must not go out).
#   mail_tls.sh native WARDERON
#   mail_tls.sh wine WINE-RUN WARDERON.EXE
set -u
mode=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
python=/usr/bin/python3
pid=
stop_server() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; pid=; }
at_exit stop_server

. "$here/program_mode.sh" "$@"

# A CA and a certificate for 127.0.0.1, and a second CA with its own.
make_ca() {
  local name=$1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Warderon $name CA" \
    -keyout "$work/$name-ca.key" -out "$work/$name-ca.pem" >/dev/null 2>&1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$work/$name.key" \
    -out "$work/$name.csr" >/dev/null 2>&1
  printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >"$work/$name.ext"
  openssl x509 -req -in "$work/$name.csr" -CA "$work/$name-ca.pem" -CAkey "$work/$name-ca.key" \
    -CAcreateserial -days 2 -extfile "$work/$name.ext" -out "$work/$name.pem" >/dev/null 2>&1
}
make_ca site
make_ca other
# A certificate of the site's CA for another address.
openssl req -newkey rsa:2048 -nodes -subj "/CN=10.9.9.9" -keyout "$work/elsewhere.key" \
  -out "$work/elsewhere.csr" >/dev/null 2>&1
printf 'subjectAltName = IP:10.9.9.9\nextendedKeyUsage = serverAuth\n' >"$work/elsewhere.ext"
openssl x509 -req -in "$work/elsewhere.csr" -CA "$work/site-ca.pem" -CAkey "$work/site-ca.key" \
  -CAcreateserial -days 2 -extfile "$work/elsewhere.ext" -out "$work/elsewhere.pem" >/dev/null 2>&1
port=$(free_port)

# start_server ARGS...: the sink on $port, writing to $work/mail.jsonl.
start_server() {
  stop_server
  : >"$work/mail.jsonl"
  "$python" "$here/../peers/smtp_sink.py" --port "$port" --seconds 120 --out "$work/mail.jsonl" \
    "$@" >"$work/server.out" 2>&1 &
  pid=$!
  for _ in $(seq 100); do grep -q ready "$work/server.out" 2>/dev/null && return 0; sleep 0.1; done
  echo "the mail sink did not start:"; cat "$work/server.out"
}
delivered() { grep -c '"data"' "$work/mail.jsonl"; }
protected_logins() { grep -c '"tls": true, "login": "alerts"' "$work/mail.jsonl"; }

set_setting EmailEnabled 1 integer
set_setting Email ops@site.example string
set_setting EmailSMTPServer 127.0.0.1 string
set_setting EmailPort "$port" integer
set_setting EmailUser alerts string
set_setting EmailPassword 'pa55 word' string
set_setting EmailCAFile "$(program_path "$work/site-ca.pem")" string

set_setting EmailSecurity starttls-required string
start_server --cert "$work/site.pem" --key "$work/site.key" --auth 'alerts:pa55 word' --mechanism PLAIN
run_cycles 1 >/dev/null
[ "$(protected_logins)" -ge 1 ] && pass "STARTTLS and AUTH PLAIN: delivered, protected, logged in" ||
  fail "STARTTLS and AUTH PLAIN: $(cat "$work/mail.jsonl")"
grep -q '"data": ".*Warderon starting' "$work/mail.jsonl" && pass "the starting alert arrived" ||
  fail "no starting alert"

start_server --cert "$work/site.pem" --key "$work/site.key" --auth 'alerts:pa55 word' --mechanism LOGIN
run_cycles 1 >/dev/null
[ "$(protected_logins)" -ge 1 ] && pass "STARTTLS and AUTH LOGIN" || fail "AUTH LOGIN: $(cat "$work/mail.jsonl")"

set_setting EmailSecurity tls string
start_server --cert "$work/site.pem" --key "$work/site.key" --auth 'alerts:pa55 word' --implicit-tls
run_cycles 1 >/dev/null
[ "$(protected_logins)" -ge 1 ] && pass "TLS from the first byte" || fail "implicit TLS: $(cat "$work/mail.jsonl")"

set_setting EmailSecurity starttls-required string
set_setting EmailPassword wrong string
start_server --cert "$work/site.pem" --key "$work/site.key" --auth 'alerts:pa55 word'
out=$(run_cycles 1)
[ "$(delivered)" -eq 0 ] && pass "a wrong password delivers nothing" || fail "delivered with a wrong password"
expect_contains "and is reported" "$out" "alerts not sent"
expect_not_contains "without the credentials the command carried" "$out" \
  "$(printf '\0alerts\0wrong' | base64)"
set_setting EmailPassword 'pa55 word' string

start_server --cert "$work/other.pem" --key "$work/other.key" --auth 'alerts:pa55 word'
out=$(run_cycles 1)
[ "$(delivered)" -eq 0 ] && pass "a certificate of another CA is refused" || fail "delivered to another CA"
expect_contains "and said so" "$out" "alerts not sent"
start_server --cert "$work/elsewhere.pem" --key "$work/elsewhere.key" --auth 'alerts:pa55 word'
run_cycles 1 >/dev/null
[ "$(delivered)" -eq 0 ] && pass "a certificate for another address is refused" ||
  fail "delivered to a certificate for another address"
set_setting EmailCAFile "$(program_path "$work/other-ca.pem")" string
start_server --cert "$work/other.pem" --key "$work/other.key" --auth 'alerts:pa55 word'
run_cycles 1 >/dev/null
[ "$(protected_logins)" -ge 1 ] && pass "unless the CA file names its CA" || fail "other CA named: $(cat "$work/mail.jsonl")"

# A server that offers AUTH but no STARTTLS: the password stays home.
set_setting EmailSecurity starttls string
start_server --auth 'alerts:pa55 word' --auth-in-clear
out=$(run_cycles 1)
grep -q '"auth"' "$work/mail.jsonl" && fail "a password was sent without TLS" ||
  pass "no password goes out without TLS"
expect_contains "and the refusal is reported" "$out" "refusing to send the mail password"

finish

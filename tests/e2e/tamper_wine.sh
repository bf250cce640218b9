#!/usr/bin/env bash
# The tamper monitors of warderon.exe under Wine.
# Autostart: reg add / reg delete on the Run key, the Winlogon "Shell" value
# and the 32-bit Run key change the report line for line.
# Signatures: executables signed here with osslsigncode and a certificate
# made here, one unsigned and one changed after signing, verified by the
# build's own verification code (signature_probe), posing as processes of
# NT AUTHORITY\SYSTEM.
#   tamper_wine.sh WINE-RUN WARDERON.EXE SIGNATURE-PROBE.EXE
set -u
probe=$3
. "$(dirname "$0")/wine_common.sh"
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
winlogon='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
at_exit 'quiet reg delete "$run_key" /v Updater /f; quiet reg delete "$run_key" /v Legacy /f /reg:32;
      quiet reg add "$winlogon" /v Shell /d explorer.exe /f'

# report: the detail lines of the cycle's "hacking concerns" alert.
report() {
  run | awk '/^hacking concerns$/ { n++; if (n == 2) { on = 1; next } }
             on && /^Warderon stopping$/ { exit } on { print }'
}
# expect_report LABEL LINE...: the report is exactly these lines (and the
# empty line the console adds after an alert).
expect_report() {
  local label=$1 actual expected
  shift
  actual=$(report)
  expected=$(printf '%s\n' "$@" "")
  if [ "$actual" = "$expected" ]; then pass "$label"; else
    fail "$label"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed 's/^/     | /'
  fi
}

reset_policy
quiet reg delete "$run_key" /v Updater /f
quiet reg delete "$run_key" /v Legacy /f /reg:32
quiet reg add "$key\\general" /v HackingEnabled /t REG_DWORD /d 1 /f
quiet reg add "$winlogon" /v Shell /d Explorer.exe /f
run >/dev/null  # the first cycle takes in what is there

quiet reg add "$run_key" /v Updater /d 'c:\temp\upd.exe' /f
expect_report "a new Run value" "Hacking Detection" "Registry Key: Run" \
  "  - added: Updater=c:\\temp\\upd.exe" ""
expect_report "the next cycle is quiet" ""

quiet reg add "$winlogon" /v Shell /d 'Explorer.exe c:\temp\x.exe' /f
quiet reg add "$run_key" /v Updater /d 'C:\TEMP\UPD.EXE' /f  # letter case alone
expect_report "a changed Shell value: removal, then addition" "Hacking Detection" \
  "  Registry Key: Shell" "  - removed: Shell=Explorer.exe" \
  "  - added: Shell=Explorer.exe c:\\temp\\x.exe" ""

quiet reg delete "$run_key" /v Updater /f
quiet reg add "$run_key" /v Legacy /d 'c:\old\agent.exe' /f /reg:32
expect_report "a removed value, and a value of the 32-bit Run key" "Hacking Detection" \
  "  Registry Key: Run" "  - removed: Updater=c:\\temp\\upd.exe" "" \
  "Registry Key: Run (32-bit)" "  - added: Legacy=c:\\old\\agent.exe" ""

# Signatures.
certs=$work/certs
mkdir -p "$certs"
cat >"$certs/signer.ext" <<'EXT'
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = codeSigning
EXT
quiet_openssl() { openssl "$@" >/dev/null 2>&1; }
quiet_openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/O=Warderon Tests/CN=Warderon Test Root" \
  -keyout "$certs/root.key" -out "$certs/root.pem"
quiet_openssl req -newkey rsa:2048 -nodes -subj "/O=Warderon Tests/CN=Warderon Test Signer" \
  -keyout "$certs/signer.key" -out "$certs/signer.csr"
quiet_openssl x509 -req -in "$certs/signer.csr" -CA "$certs/root.pem" -CAkey "$certs/root.key" \
  -CAcreateserial -days 2 -extfile "$certs/signer.ext" -out "$certs/signer.pem"
cat "$certs/signer.pem" "$certs/root.pem" >"$certs/chain.pem"
cp "$probe" "$work/unsigned.exe"
osslsigncode sign -certs "$certs/chain.pem" -key "$certs/signer.key" -n "Warderon test" \
  -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null 2>&1
cp "$work/signed.exe" "$work/changed.exe"
# One byte of code changed after signing.
printf '\x90' | dd of="$work/changed.exe" bs=1 seek=4096 conv=notrunc status=none
if [ ! -s "$work/signed.exe" ]; then
  fail "osslsigncode signed the test executable"
  finish
  exit
fi

win() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }
out=$(timeout 120 "$wine_run" "$probe" - "$(win "$work/unsigned.exe")" "$(win "$work/signed.exe")" \
  "$(win "$work/changed.exe")" | tr -d '\r')
lower() { printf '%s' "$1" | tr 'A-Z' 'a-z'; }
expect_line "an unsigned executable is not trusted" "$out" \
  "verify	$(win "$work/unsigned.exe" | sed 's/\\/\\\\/g')	untrusted	N/A"
expect_line "an executable changed after signing is not trusted" "$out" \
  "verify	$(win "$work/changed.exe" | sed 's/\\/\\\\/g')	untrusted	N/A"
expect_line "the unsigned one is reported without signature" "$out" "report	No Signature: "
expect_line "with its path in lower case" "$out" \
  "report	$(lower "$(win "$work/unsigned.exe")" | sed 's/\\/\\\\/g')"
# Wine trusts a signature whose root it does not know; Windows does not.
# Either way, a trusted signature names the signer by its common name.
signed=$(printf '%s\n' "$out" | grep -F "verify	$(win "$work/signed.exe")")
case "$signed" in
*"	trusted	Warderon Test Signer"*)
  pass "the signed executable is trusted and names its signer"
  expect_line "an untrusted company is reported with its name" "$out" \
    'report	Signature from untrusted company: "Warderon Test Signer.*"'
  out=$(timeout 120 "$wine_run" "$probe" "test signer" "$(win "$work/signed.exe")" | tr -d '\r')
  expect_not_contains "a trusted fragment accepts the signer" "$out" "report	"
  ;;
*"	untrusted	"*) pass "the signed executable's unknown root is refused (as Windows does)" ;;
*) fail "the signed executable was verified: $signed" ;;
esac

reset_policy
finish

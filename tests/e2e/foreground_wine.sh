#!/usr/bin/env bash
# warderon.exe under Wine against the registry of the test prefix.
set -u
. "$(dirname "$0")/wine_common.sh"

reset_policy

out=$(run)
expect_contains "first run announces a new installation" "$out" "Warderon starting NEW INSTALL"
expect_contains "reaching the cycle limit is a stop" "$out" "Warderon stopping"

general=$("$wine_run" reg query "$key\\general" | tr -d '\r')
expect_line "version rewritten" "$general" '    version    REG_DWORD    0x10300'
expect_line "GeneralUpdate default" "$general" '    GeneralUpdate    REG_DWORD    0x0'
expect_line "Delay default" "$general" '    Delay    REG_DWORD    0x1'
expect_line "ADDelay default" "$general" '    ADDelay    REG_DWORD    0x5'
expect_line "Beep default" "$general" '    Beep    REG_DWORD    0x0'
expect_line "LastRun is 8 bytes of REG_BINARY" "$general" '    LastRun    REG_BINARY    [0-9A-F]{16}'

out=$(run)
expect_line "second run is a normal start" "$out" "Warderon starting"
expect_not_contains "second run is not a new installation" "$out" "NEW INSTALL"

logs=$("$wine_run" reg query "$key\\Logs" | tr -d '\r')
expect_line "the journal holds this cycle's stop alert" "$logs" '    [0-9]+    REG_SZ    Warderon stopping'

tool=$(timeout 60 "$wine_run" "$exe" -policy list general | tr -d '\r')
expect_line "the policy tool reads the registry" "$tool" $'version\tinteger\t66304'

# The health of the watchdog as a Windows machine's exporter and checks see it.
mkdir -p "$work/textfile_inputs"
"$wine_run" reg add "$key\\general" /v MetricsFile /t REG_SZ \
  /d "Z:$(printf '%s' "$work/textfile_inputs/warderon.prom" | tr '/' '\\')" /f >/dev/null 2>&1
run >/dev/null
metrics=$(cat "$work/textfile_inputs/warderon.prom" 2>/dev/null)
expect_contains "the Windows program writes the metrics file" "$metrics" "warderon_cycles_total 1"
if command -v promtool >/dev/null; then
  printf '%s\n' "$metrics" | promtool check metrics >/dev/null 2>&1 &&
    pass "and promtool takes it" || fail "promtool refuses the Windows metrics file"
fi
check=$(timeout 60 "$wine_run" "$exe" -check | tr -d '\r')
expect_contains "-check under Wine" "$check" "WARDERON OK"

finish

#!/usr/bin/env bash
# The services and local group monitors of warderon.exe against Wine's real
# Service Control Manager and group calls.
set -u
control=$3
. "$(dirname "$0")/wine_common.sh"

reset_policy
quiet sc delete WarderonProbe
quiet net stop Spooler
quiet reg add "$key\\general" /v ServicesEnabled /t REG_DWORD /d 1 /f
quiet reg add "$key\\LocGroups" /v Administrators /t REG_DWORD /d 1 /f

out=$(run)
count=$(printf '%s\n' "$out" | grep -c '^new service ')
[ "$count" -ge 5 ] && pass "the first run reports every service as new ($count)" ||
  fail "the first run reports every service as new ($count)"
expect_contains "the first run reports the Administrators group's members" "$out" \
  "changes to local group:Administrators"
out=$(run)
expect_not_contains "the second run reports no service" "$out" "service changes"
expect_not_contains "the second run reports no member" "$out" "changes to local group:"

quiet sc create WarderonProbe binPath= 'C:\windows\system32\notepad.exe' DisplayName= 'Warderon Probe Service'
out=$(run)
lines=$(printf '%s\n' "$out" | grep -E '^(new service|changed service|missing:)')
expect_line "a created service is the one new service" "$lines" "new service WarderonProbeService"
[ "$(printf '%s\n' "$lines" | wc -l)" -eq 1 ] && pass "and the only line" || fail "and the only line: $lines"

# Its configuration watched: the first reading is silent, a new binary path
# (as "sc config binPath=" sets it) is its one line.
quiet reg add "$key\\general" /v ServicesConfig /t REG_DWORD /d 1 /f
expect_not_contains "the first reading of the configurations is silent" "$(run)" "service changes"
"$wine_run" "$control" binpath WarderonProbe 'C:\windows\system32\calc.exe' >/dev/null 2>&1
lines=$(run | grep -E '^(new service|changed service|missing:)')
expect_line "a changed binary path is the one line" "$lines" \
  'changed service WarderonProbeService: binary path C:\\windows\\system32\\notepad.exe -> C:\\windows\\system32\\calc.exe'
quiet reg add "$key\\general" /v ServicesConfig /t REG_DWORD /d 0 /f

quiet net start Spooler
expect_contains "a started service is reported" "$(run)" "changed service PrintSpooler now running"
quiet net stop Spooler
expect_contains "a stopped service is reported" "$(run)" "changed service PrintSpooler now stopped"

quiet sc delete WarderonProbe
expect_contains "a deleted service is reported missing" "$(run)" "missing: WarderonProbeService"

finish

#!/usr/bin/env bash
# warderon.exe as a real service under Wine's Service Control Manager.
set -u
control=$3
. "$(dirname "$0")/wine_common.sh"
logs_key="$key\\Logs"

journal() { "$wine_run" reg query "$logs_key" 2>/dev/null | tr -d '\r'; }
# wait_journal TEXT SECONDS: until the journal holds a line ending in TEXT;
# the journal as read then is kept in $seen_journal (a second read, as the
# service process ends, now and then finds the registry busy and prints
# nothing).
seen_journal=
wait_journal() {
  for _ in $(seq $(($2 * 5))); do
    seen_journal=$(journal)
    printf '%s\n' "$seen_journal" | grep -qE "REG_SZ    $1\$" && return 0
    sleep 0.2
  done
  return 1
}
# The service process as Wine names it ("Z:\...\warderon.exe"), not this
# script, whose arguments hold the Linux path.
service_pids() { pgrep -f '^[A-Za-z]:\\.*warderon\.exe' || true; }
# wait_last_run SECONDS: until the first cycle has stamped "LastRun".
wait_last_run() {
  for _ in $(seq $(($1 * 5))); do
    "$wine_run" reg query "$key\\general" /v LastRun >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}
# check LABEL COMMAND...: passes when the command succeeds.
check() { local label=$1; shift; if "$@"; then pass "$label"; else fail "$label"; fi; }
no_service_process_within() {
  for _ in $(seq $(($1 * 10))); do [ -z "$(service_pids)" ] && return 0; sleep 0.1; done
  return 1
}

"$wine_run" net stop WarderonService >/dev/null 2>&1
"$wine_run" "$exe" /UNINSTALL /SILENT >/dev/null 2>&1
reset_policy

out=$("$wine_run" "$exe" /INSTALL /SILENT | tr -d '\r')
expect_contains "install reports success" "$out" "Service installed successfully"
out=$("$wine_run" "$exe" /install /silent | tr -d '\r'); rc=$?
# The system's message as the system words it (with its full stop); the code
# only after it, on the console.
expect_line "a second install reports the failure" "$out" \
  'Service "Warderon" failed to install with error: "[^"]*[.]" \(error 1073\)'

# The start alert is journalled before the first cycle empties "Logs" (the
# journal holds the current cycle's alerts), so it shows afterwards as the
# number the stop alert follows.
"$wine_run" net start WarderonService >/dev/null 2>&1
check "the service reports running" "$wine_run" "$control" wait WarderonService running 10
check "the worker ran start-up and a cycle" wait_last_run 30

"$wine_run" "$control" pause WarderonService
check "pause is reported" "$wine_run" "$control" wait WarderonService paused 10
"$wine_run" "$control" continue WarderonService
check "continue is reported" "$wine_run" "$control" wait WarderonService running 10

# Stop while the worker sleeps its minute between cycles: no waiting for the sleep.
start=$(date +%s)
"$wine_run" net stop WarderonService >/dev/null 2>&1
check "the stop alert follows the start alert in the journal" wait_journal "Warderon stopping" 10
expect_line "the stop alert is entry 2" "$seen_journal" '    2    REG_SZ    Warderon stopping'

check "the service process is gone within 5 s of the stop" no_service_process_within 5
[ $(($(date +%s) - start)) -lt 20 ] && pass "stop did not wait for the sleep" || fail "stop did not wait for the sleep"

"$wine_run" reg delete "$key\\general" /v LastRun /f >/dev/null 2>&1
"$wine_run" net start WarderonService >/dev/null 2>&1
check "the service starts again" wait_last_run 30

# Stop while paused ends the process too.
"$wine_run" "$control" wait WarderonService running 10
"$wine_run" "$control" pause WarderonService
"$wine_run" "$control" wait WarderonService paused 10
"$wine_run" net stop WarderonService >/dev/null 2>&1
check "stop while paused raises the stop alert" wait_journal "Warderon stopping" 10
check "stop while paused ends the process" no_service_process_within 5

out=$("$wine_run" "$exe" /UNINSTALL /SILENT | tr -d '\r')
expect_contains "uninstall reports success" "$out" "Service uninstalled successfully"
out=$("$wine_run" "$exe" | tr -d '\r')
expect_contains "started by hand it explains itself" "$out" "warderon /INSTALL"

finish

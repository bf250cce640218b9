#!/usr/bin/env bash
# The MSI under Wine's msiexec: a quiet install leaves the service
# registered for automatic start and running, and its first cycle stamps
# "LastRun"; a quiet uninstall removes service and program and keeps the
# settings.
set -u
control=$3
. "$(dirname "$0")/wine_common.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)
service_key='HKLM\System\CurrentControlSet\Services\WarderonService'
check() { local label=$1; shift; if "$@"; then pass "$label"; else fail "$label"; fi; }
wait_last_run() {
  for _ in $(seq $(($1 * 5))); do
    quiet reg query "$key\\general" /v LastRun && return 0
    sleep 0.2
  done
  return 1
}
service_gone() { ! quiet reg query "$service_key"; }
windows_path() { "$wine_run" winepath -w "$1" 2>/dev/null | tr -d '\r'; }

quiet net stop WarderonService
quiet "$exe" /UNINSTALL /SILENT
reset_policy

. "$root/packaging/release_version.sh"
version=$(release_version "$("$wine_run" "$exe" -version)")
expect_line "the version for the installer" "$version" '1\.3\.0'
msi=$work/warderon.msi
check "wixl builds the installer" bash "$root/packaging/windows/build-msi.sh" "$exe" "$root/README.md" "$version" "$msi"

timeout 120 "$wine_run" msiexec /i "$(windows_path "$msi")" /qn
expect_line "msiexec /i succeeds" "$?" 0
check "the service runs after the install" "$wine_run" "$control" wait WarderonService running 30
registration=$("$wine_run" reg query "$service_key" | tr -d '\r')
expect_line "it starts automatically" "$registration" '    Start    REG_DWORD    0x2'
expect_line "from the installed program" "$registration" \
  '    ImagePath    REG_SZ    C:\\Program Files\\Warderon\\warderon\.exe'
check "its first cycle stamps LastRun" wait_last_run 30

timeout 120 "$wine_run" msiexec /x "$(windows_path "$msi")" /qn
expect_line "msiexec /x succeeds" "$?" 0
check "the service is gone" service_gone
installed=$("$wine_run" winepath -u 'C:\Program Files\Warderon\warderon.exe' 2>/dev/null | tr -d '\r')
check "the program is gone" test ! -e "$installed"
check "the settings stay" quiet reg query "$key\\general" /v LastRun

reset_policy
finish

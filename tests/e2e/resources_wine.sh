#!/usr/bin/env bash
# Memory and script monitors of warderon.exe under Wine.
set -u
. "$(dirname "$0")/wine_common.sh"

reset_policy
quiet reg add "$key\\general" /v MemGlobalEnabled /t REG_DWORD /d 1 /f
target=$work/written-by-cmd.txt
quiet reg add "$key\\general" /v ScriptPath /t REG_SZ /d "echo written by cmd > Z:${target//\//\\}" /f
quiet reg add "$key\\general" /v ScriptRunNow /t REG_DWORD /d 1 /f

out=$(run)
expect_contains "global memory warning at the first cycle" "$out" "global memory warning"
dump=$(printf '%s\n' "$out" | sed -n '/^global memory warning$/,/^$/p' | sed '1,2d;/^$/d')
expect_line "the first detail line is the header" "$(printf '%s\n' "$dump" | head -n 1)" 'user +size +vm +exe +'
expect_contains "the dump lists warderon.exe" "$dump" "warderon.exe"
expect_contains "the dump lists Wine's services" "$dump" "services.exe"

for _ in $(seq 50); do [ -s "$target" ] && break; sleep 0.1; done
expect_contains "the command ran through cmd.exe" "$(cat "$target" 2>/dev/null)" "written by cmd"
expect_contains "the request is cleared" "$("$wine_run" reg query "$key\\general" /v ScriptRunNow | tr -d '\r')" "0x0"

finish

#!/usr/bin/env bash
# The local group monitor of the native program against the real group
# database (the root group: every Linux machine has it).
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/policy.sqlite
run() { timeout 120 "$warderon" -run -cycles 1 -store "$store"; }

"$warderon" -policy set LocGroups root 1 -type integer -store "$store" >/dev/null
out=$(run)
expect_contains "the first run reports the group's members" "$out" "changes to local group:root"
expect_line "members read as host\\user" "$out" "$(hostname)\\\\root"
out=$(run)
expect_not_contains "the next run reports nothing" "$out" "changes to local group:"
stored=$("$warderon" -policy list locgroup-root -store "$store")
expect_line "the member is stored" "$stored" "$(hostname)\\\\root"$'\tinteger\t1'

finish

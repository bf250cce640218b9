#!/usr/bin/env bash
# Disk, memory and script monitors of the native program on this machine.
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/policy.sqlite
policy() { "$warderon" -policy "$@" -store "$store"; }
count() { grep -c -- "$1" "$work/daemon.out"; }
wait_for() { wait_for_text "$work/daemon.out" "$1" "$2"; }

# Disks: the root file system's threshold one below its fullness.
policy set general DisksEnabled 1 -type integer >/dev/null
policy set general Delay 0 -type integer >/dev/null  # a cycle every 5 s
"$warderon" -run -cycles 1 -store "$store" >/dev/null
used=$(policy get Disks /-used | cut -f3)

# Every listed file system reads as full as df says, within one point (df
# counts blocks reserved for root as neither used nor available).
disagree=0
compared=0
while IFS=$'\t' read -r name _ value; do
  point=${name%-used}
  [ "$point" = "$name" ] && continue
  [ "$value" -lt 0 ] && continue
  df_used=$(df -P "$point" 2>/dev/null | awk 'NR == 2 { sub("%", "", $5); print $5 }')
  [ -n "$df_used" ] || continue
  compared=$((compared + 1))
  delta=$((value - df_used))
  if [ "${delta#-}" -gt 1 ]; then
    disagree=$((disagree + 1))
    echo "  $point: monitor $value%, df $df_used%"
  fi
done < <(policy list Disks)
[ "$compared" -gt 0 ] && [ "$disagree" -eq 0 ] &&
  pass "the monitor and df agree within one point on $compared file systems" ||
  fail "the monitor and df disagree on $disagree of $compared file systems"
if [ "${used:-0}" -lt 1 ]; then
  fail "the root file system reports a fullness (got '${used:-}')"
else
  pass "the root file system reports a fullness ($used%)"
  policy set Disks /-warn $((used - 1)) -type integer >/dev/null
  crises=$("$warderon" -run -cycles 2 -store "$store" | grep -c 'disk /: in crisis')
  [ "$crises" -eq 1 ] && pass "two cycles above the threshold raise the crisis alert once" ||
    fail "two cycles above the threshold raise the crisis alert once ($crises)"
  "$warderon" -run -store "$store" >"$work/daemon.out" 2>&1 &
  pid=$!
  wait_for "disk /: in crisis" 15 && pass "a disk above its threshold goes into crisis" ||
    fail "a disk above its threshold goes into crisis"
  wait_for "disk /: is at $used% full which is greater than threshold $((used - 1))% full" 1 &&
    pass "the crisis alert names fullness and threshold" || fail "the crisis alert names fullness and threshold"
  sleep 6  # one more cycle: no second alert
  policy set Disks /-warn 100 -type integer >/dev/null
  wait_for "disk /: no longer in crisis" 15 && pass "setting the threshold back recovers" ||
    fail "setting the threshold back recovers"
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null
  pid=
  [ "$(count 'disk /: in crisis')" -eq 1 ] && pass "the crisis alert came once" || fail "the crisis alert came once"
  [ "$(count 'disk /: no longer in crisis')" -eq 1 ] && pass "the recovery alert came once" ||
    fail "the recovery alert came once"
fi
policy set general DisksEnabled 0 -type integer >/dev/null

# Memory: no threshold set, so the first cycle warns, with the process dump.
policy set general MemGlobalEnabled 1 -type integer >/dev/null
out=$("$warderon" -run -cycles 1 -store "$store")
expect_contains "global memory warning at the first cycle" "$out" "global memory warning"
dump=$(printf '%s\n' "$out" | sed -n '/^global memory warning$/,/^$/p' | sed '1,2d;/^$/d')
expect_line "the first detail line is the header" "$(printf '%s\n' "$dump" | head -n 1)" 'user +size +vm +exe +'
rows=$(printf '%s\n' "$dump" | sed 1d)
expect_contains "the dump lists this very program" "$rows" "$warderon"
if printf '%s\n' "$rows" | /usr/bin/python3 -c 'import sys; r=sys.stdin.read().splitlines(); sys.exit(r != sorted(r, key=str.upper))'; then
  pass "the process lines are sorted ($(printf '%s\n' "$rows" | wc -l) processes)"
else fail "the process lines are sorted"; fi
expect_line "MemGlobalWarn was written back as 0" "$(policy get general MemGlobalWarn)" $'MemGlobalWarn\tinteger\t0'
policy set general MemGlobalEnabled 0 -type integer >/dev/null

# Script: a requested command that writes a file.
target=$work/written-by-script.txt
policy set general ScriptPath "echo 'written by the script runner' > '$target'" >/dev/null
policy set general ScriptRunNow 1 -type integer >/dev/null
"$warderon" -run -cycles 1 -store "$store" >/dev/null
for _ in $(seq 50); do [ -s "$target" ] && break; sleep 0.1; done
expect_contains "the command ran" "$(cat "$target" 2>/dev/null)" "written by the script runner"
expect_line "the request is cleared" "$(policy get general ScriptRunNow)" $'ScriptRunNow\tinteger\t0'

finish

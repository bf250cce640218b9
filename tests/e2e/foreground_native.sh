#!/usr/bin/env bash
# The native program against its SQLite store, as an administrator uses it.
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/policy.sqlite

out=$(timeout 60 "$warderon" -run -cycles 1 -store "$store" 2>"$work/first.err")
hint=$(cat "$work/first.err")
expect_line "a run with no monitor says so, with the command that enables one" "$hint" \
  "  warderon -policy set general FilesEnabled 1 -type integer -store $store"
[ "$(grep -c "no monitor is enabled" <<<"$hint")" = 1 ] && pass "said once" || fail "said once: $hint"
expect_contains "first run announces a new installation" "$out" "Warderon starting NEW INSTALL"
expect_contains "first run prints the version" "$out" "system started NEW INSTALL, version 0001.0300"
expect_contains "reaching the cycle limit is a stop" "$out" "Warderon stopping"

general=$("$warderon" -policy list general -store "$store")
expect_line "version rewritten" "$general" $'version\tinteger\t66304'
expect_line "GeneralUpdate default" "$general" $'GeneralUpdate\tinteger\t0'
expect_line "Delay default" "$general" $'Delay\tinteger\t1'
expect_line "ADDelay default" "$general" $'ADDelay\tinteger\t5'
expect_line "Beep default" "$general" $'Beep\tinteger\t0'
expect_line "EmailEnabled default" "$general" $'EmailEnabled\tinteger\t0'
expect_line "LastRun is an 8-byte float" "$general" $'LastRun\tfloat\t4[0-9]{4}\\.[0-9]+'

"$warderon" -policy set general DisksEnabled 1 -type integer -store "$store" >/dev/null
out=$(timeout 60 "$warderon" /RUN /Cycles 1 -store "$store" 2>"$work/second.err")
expect_not_contains "with a monitor enabled there is no hint" "$(cat "$work/second.err")" "no monitor"
expect_line "second run is a normal start" "$out" "Warderon starting"
expect_not_contains "second run is not a new installation" "$out" "NEW INSTALL"

# The environment variable chooses the store as well.
out=$(WARDERON_STORE=$store timeout 20 "$warderon" -policy get general version)
expect_line "WARDERON_STORE is honoured" "$out" $'version\tinteger\t66304'

# SIGTERM is the stop event: prompt, even while the worker sleeps a minute.
"$warderon" -run -store "$store" >"$work/daemon.out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "Warderon starting" "$work/daemon.out" && break; sleep 0.1; done
# A second run on the same store would deliver the outboxes twice: it refuses.
second=$(timeout 20 "$warderon" -run -cycles 1 -store "$store" 2>&1)
rc=$?
expect_contains "a second run on the store refuses, naming the first" "$second" \
  "warderon: another watchdog (process $pid) runs on this store"
[ "$rc" = 1 ] && pass "and ends with status 1" || fail "and ends with status 1 (got $rc)"
sleep 0.5
start=$(date +%s%N)
kill -TERM "$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then fail "SIGTERM ends the run within 5 s"; kill -9 "$pid"; else pass "SIGTERM ends the run within 5 s ($(( ($(date +%s%N) - start) / 1000000 )) ms)"; fi
wait "$pid" 2>/dev/null
expect_contains "SIGTERM raises the stop alert" "$(cat "$work/daemon.out")" "Warderon is stopping"
logs=$("$warderon" -policy list Logs -store "$store")
expect_line "the stop alert is in the journal" "$logs" $'[0-9]+\tstring\tWarderon stopping'

# SIGUSR1 pauses, SIGUSR2 continues, SIGTERM while paused still ends the run.
"$warderon" -run -store "$store" >"$work/paused.out" 2>&1 &
pid=$!
wait_output() { wait_for_text "$work/paused.out" "$1" 5; }
wait_output "Warderon starting"
kill -USR1 "$pid"
wait_output "warderon: paused" && pass "SIGUSR1 pauses" || fail "SIGUSR1 pauses"
kill -USR2 "$pid"
wait_output "warderon: running" && pass "SIGUSR2 continues" || fail "SIGUSR2 continues"
kill -USR1 "$pid"
sleep 0.3
kill -TERM "$pid"
for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then fail "SIGTERM while paused ends the run within 3 s"; kill -9 "$pid"; else pass "SIGTERM while paused ends the run within 3 s"; fi
wait "$pid" 2>/dev/null
expect_contains "SIGTERM while paused raises the stop alert" "$(cat "$work/paused.out")" "Warderon is stopping"

# A damaged store is refused with its name and left as it was.
bad=$work/damaged.sqlite
echo "not a database at all" >"$bad"
err=$("$warderon" -run -cycles 1 -store "$bad" 2>&1); rc=$?
if [ "$rc" -ne 0 ]; then pass "damaged store: non-zero exit"; else fail "damaged store: non-zero exit"; fi
expect_contains "damaged store: the error names the file" "$err" "'$bad'"
expect_contains "damaged store: file untouched" "$(cat "$bad")" "not a database at all"

# Editing settings by hand.
"$warderon" -policy set general Delay 0 -type integer -store "$store" >/dev/null
expect_line "set then get" "$("$warderon" -policy get general delay -store "$store")" $'Delay\tinteger\t0'
err=$("$warderon" -policy set general Delay soon -type integer -store "$store" 2>&1); rc=$?
if [ "$rc" -eq 2 ]; then pass "a bad integer is refused"; else fail "a bad integer is refused (rc $rc)"; fi

# A storm of stop, pause and continue signals, from the first moment of main
# (the signals show as held in the process's status) to the process's last:
# it always ends normally, never by a signal.
held_by_main() {  # SIGINT, SIGUSR1, SIGUSR2 and SIGTERM held: bits 0x4a02
  local key value
  for _ in $(seq 20000); do  # shell builtins only: no process of its own
    [ -r "/proc/$1/status" ] || return 1
    while read -r key value; do
      if [ "$key" = "SigBlk:" ] && [ $((16#$value & 0x4a02)) -eq $((0x4a02)) ]; then return 0; fi
    done <"/proc/$1/status" 2>/dev/null
  done
  return 1
}
abnormal=0
for trial in $(seq 40); do
  "$warderon" -run -cycles 1 -store "$work/storm.sqlite" >/dev/null 2>&1 &
  pid=$!
  held_by_main "$pid"
  kill -USR1 "$pid" 2>/dev/null
  for signal in USR2 TERM USR1 USR2 TERM; do kill -"$signal" "$pid" 2>/dev/null; done
  (while kill -USR2 "$pid" 2>/dev/null; do kill -TERM "$pid" 2>/dev/null; done) &
  storm=$!
  (sleep 20; kill -9 "$pid" 2>/dev/null) &
  guard=$!
  wait "$pid"
  status=$?
  kill "$storm" "$guard" 2>/dev/null
  wait "$storm" "$guard" 2>/dev/null
  if [ "$status" -ne 0 ]; then
    abnormal=$((abnormal + 1))
    echo "trial $trial ended with status $status"
  fi
done
[ "$abnormal" -eq 0 ] && pass "40 signal storms: every run ended normally" ||
  fail "signal storms: $abnormal of 40 runs ended abnormally"

finish

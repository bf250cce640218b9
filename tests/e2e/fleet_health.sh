#!/usr/bin/env bash
# What a site's central systems see of the watchdog: the metrics file served
# by a real node_exporter (textfile collector only, on 127.0.0.1) and checked
# by promtool; the monitoring plugin's -check (OK, WARNING, CRITICAL,
# UNKNOWN) without writing; and a watchdog killed with SIGKILL, whose
# metrics file stays whole while -check turns CRITICAL.
#   fleet_health.sh WARDERON
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/policy.sqlite
exporter=
runner=
at_exit 'kill $exporter $runner 2>/dev/null; wait $exporter $runner 2>/dev/null'
set_general() { "$warderon" -policy set general "$1" "$2" -type "$3" -store "$store" >/dev/null; }
check() { "$warderon" -check "$@" -store "$store"; }

mkdir -p "$work/textfiles"
set_general MetricsFile "$work/textfiles/warderon.prom" string
set_general SocketsEnabled 1 integer
timeout 120 "$warderon" -run -cycles 1 -store "$store" >/dev/null
promtool check metrics <"$work/textfiles/warderon.prom" >"$work/promtool.out" 2>&1 &&
  pass "promtool finds no problem in the metrics file" || fail "promtool: $(cat "$work/promtool.out")"

port=$(free_port)
timeout 120 prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
  --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$work/textfiles" >"$work/exporter.out" 2>&1 &
exporter=$!
scraped=
for _ in $(seq 100); do
  scraped=$(curl -fsS "http://127.0.0.1:$port/metrics" 2>/dev/null) && break
  sleep 0.1
done
expect_contains "node_exporter serves the watchdog's metrics" "$scraped" "warderon_cycles_total 1"
expect_contains "with no textfile scrape error" "$scraped" "node_textfile_scrape_error 0"

# age_last_cycle MINUTES: stamps the last cycle's end that long ago.
age_last_cycle() {
  local minutes=$1
  "$warderon" -policy set general LastRun "$(python3 -c "
import datetime
now = datetime.datetime.now()
print((now - datetime.datetime(1899, 12, 30)).total_seconds() / 86400 - $minutes / 1440)")" \
    -type float -store "$store" >/dev/null
  "$warderon" -policy set Health LastCycleEndUtc "$(($(date +%s) - minutes * 60))" \
    -type string -store "$store" >/dev/null
  "$warderon" -policy set Health LastCycleEndBoot \
    "$(cat /proc/sys/kernel/random/boot_id) $(awk -v m="$minutes" '{ print $1 - m * 60 }' /proc/uptime)" \
    -type string -store "$store" >/dev/null
}

out=$(check)
rc=$?
[ "$rc" -eq 0 ] && pass "-check after a cycle: $out" || fail "-check after a cycle ($rc): $out"
before=$(sha1sum "$store" | cut -d' ' -f1)
# A last cycle ten minutes ago, as the worker stamps it: local time, UTC and
# the boot clock of this boot.
age_last_cycle 10
out=$(check)
[ $? -eq 2 ] && pass "-check is CRITICAL past three Delays: $out" || fail "-check past the bound: $out"
out=$(check -max-age 20)
[ $? -eq 0 ] && pass "but OK within -max-age 20" || fail "-max-age 20: $out"
stamped=$(sha1sum "$store" | cut -d' ' -f1)
check >/dev/null
[ "$(sha1sum "$store" | cut -d' ' -f1)" = "$stamped" ] && pass "the check writes nothing" ||
  fail "the check changed the store"
out=$("$warderon" -check -store "$work/nothing/here.sqlite")
[ $? -eq 3 ] && [ ! -e "$work/nothing" ] && pass "UNKNOWN for a missing store, nothing created: $out" ||
  fail "missing store: $out"

# A failing step: the directory monitor refused by a setting that sends nothing.
set_general ADEnabled 1 integer
set_general ADTls none string
set_general userid reader string
set_general Syslog 127.0.0.1 string
set_general SyslogEnabled 1 integer
set_general SyslogTransport carrier-pigeon string
timeout 120 "$warderon" -run -cycles 1 -store "$store" >/dev/null
out=$(check)
[ $? -eq 1 ] && pass "-check warns after undelivered alerts: $out" || fail "-check warning: $out"
set_general SyslogEnabled 0 integer
set_general ADEnabled 0 integer

# Killed in the middle of its life: the metrics file keeps its last whole
# content, and -check turns CRITICAL once the bound has passed.
set_general Delay 0 integer
# Not under timeout: SIGKILL must reach the watchdog itself, and the exit
# trap stops it if the script ends early.
"$warderon" -run -store "$store" >/dev/null 2>&1 &
runner=$!
for _ in $(seq 100); do grep -q "warderon_cycles_total 2" "$work/textfiles/warderon.prom" 2>/dev/null && break; sleep 0.1; done
kill -9 "$runner"
wait "$runner" 2>/dev/null
runner=
promtool check metrics <"$work/textfiles/warderon.prom" >/dev/null 2>&1 &&
  [ -z "$(ls "$work/textfiles" | grep -v '^warderon.prom$')" ] &&
  pass "after SIGKILL the metrics file is whole, with no leftover" ||
  fail "after SIGKILL: $(ls "$work/textfiles")"
out=$(check)
[ $? -eq 0 ] && pass "OK right after the kill" || fail "right after the kill: $out"
age_last_cycle 4
out=$(check)
[ $? -eq 2 ] && pass "CRITICAL once no cycle came within the bound: $out" || fail "after the bound: $out"
finish

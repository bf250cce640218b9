#!/usr/bin/env bash
# The tamper monitors of the native program against the real machine: a
# throwaway variable in /etc/environment and a throwaway enabled unit (both
# put back), and a root process running a copy of a program that no package
# owns.
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/policy.sqlite
wants=/etc/systemd/system/multi-user.target.wants
unit_link=$wants/warderon-probe.service
made_wants=
cp -p /etc/environment "$work/environment.saved" 2>/dev/null || : >"$work/environment.saved"
had_environment=$([ -e /etc/environment ] && echo yes)
restore() {
  if [ -n "$had_environment" ]; then cp -p "$work/environment.saved" /etc/environment; else rm -f /etc/environment; fi
  rm -f "$unit_link"
  [ -n "$made_wants" ] && rmdir "$wants" 2>/dev/null
}
at_exit restore
run() { timeout 120 "$warderon" -run -cycles 1 -store "$store"; }
set_policy() { "$warderon" -policy set "$@" -store "$store" >/dev/null; }
set_policy general HackingEnabled 1 -type integer
run >/dev/null  # the machine as it is

echo "WARDERON_PROBE=1" >>/etc/environment
[ -d "$wants" ] || { mkdir -p "$wants" && made_wants=yes; }
ln -s /dev/null "$unit_link"
out=$(run)
expect_contains "one alert" "$out" "Hacking Detection"
expect_line "the environment row" "$out" "Registry Key: Environment"
expect_line "the new variable" "$out" "  - added: WARDERON_PROBE=1"
expect_line "the units row" "$out" "Registry Key: systemd units"
expect_line "the new unit, wanted by its target" "$out" \
  "  - added: warderon-probe.service=multi-user.target"

if [ -n "$had_environment" ]; then cp -p "$work/environment.saved" /etc/environment; else rm -f /etc/environment; fi
rm -f "$unit_link"
out=$(run)
expect_line "the variable is reported removed" "$out" "  - removed: WARDERON_PROBE=1"
expect_line "under a header with two blanks" "$out" "  Registry Key: Environment"
expect_line "and the unit too" "$out" "  - removed: warderon-probe.service=multi-user.target"

# A root process running a program no package owns.
set_policy general AuthenticodeEnabled 1 -type integer
mkdir -p "$work/bin"
cp "$(command -v sleep)" "$work/bin/probe-sleep"
"$work/bin/probe-sleep" 300 &
pid=$!
out=$(run)
expect_contains "the new root process is reported" "$out" "Authenticode warnings"
expect_line "without signature" "$out" "No Signature: "
expect_line "with its path" "$out" "$(printf '%s' "$work/bin/probe-sleep" | tr 'A-Z' 'a-z')"

finish

#!/usr/bin/env bash
# The Debian package on this machine: built, checked by lintian, installed
# (where systemd does not run as here, the install must still succeed),
# removed (the state folder stays) and purged (nothing stays).
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
root=$(cd "$here/../.." && pwd)
check() { local label=$1; shift; if "$@"; then pass "$label"; else fail "$label"; fi; }
# Everything a package may touch, but dpkg's and apt's own records.
snapshot() {
  find /usr /lib /etc /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt \
    -o -path /var/lib/ucf \) -prune -o -print 2>/dev/null | sort
}

dpkg --purge warderon >/dev/null 2>&1
# A state folder that no package owns (a run as root without a store of its
# own, on this machine before) is set aside for the test and put back after:
# the purge rightly removes the folder, and must not be judged by what was
# there before.
if [ -e /var/lib/warderon ]; then
  mv /var/lib/warderon "$work/state-before"
  at_exit "rm -rf /var/lib/warderon; mv '$work/state-before' /var/lib/warderon"
fi
before=$(snapshot)

. "$root/packaging/release_version.sh"
version=$(release_version "$("$warderon" -version)")
deb=$(bash "$root/packaging/debian/build-deb.sh" "$warderon" "$root/README.md" "$version" "$work/out")
check "the package is named warderon_${version}_amd64.deb" test -f "$work/out/warderon_${version}_amd64.deb"
report=$(lintian --tag-display-limit 0 "$deb" 2>&1)
expect_not_contains "lintian reports no error" "$report" "E: "

install=$(dpkg -i "$deb" 2>&1)
rc=$?
expect_line "it installs where systemd does not run" "$rc" 0
[ "$rc" = 0 ] || printf '%s\n' "$install"
check "the binary is in /usr/sbin" test -x /usr/sbin/warderon
expect_line "the installed program runs" "$(/usr/sbin/warderon -version)" "warderon version .*"
expect_line "the state folder is root's alone" "$(stat -c %a /var/lib/warderon)" 700
check "the man page is found" test "$(man -w warderon)" = /usr/share/man/man8/warderon.8.gz
check "the README is shipped" test -f /usr/share/doc/warderon/README.md.gz
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/warderon.service
expect_line "the unit runs the installed program" \
  "$(grep '^ExecStart=' /lib/systemd/system/warderon.service)" 'ExecStart=/usr/sbin/warderon -run'
timeout 60 /usr/sbin/warderon -run -cycles 1 >/dev/null 2>&1
check "a run keeps its store in the state folder" test -f /var/lib/warderon/policy.sqlite

dpkg --remove warderon >/dev/null 2>&1
check "remove takes the binary" test ! -e /usr/sbin/warderon
check "remove takes the unit and the man page" \
  test ! -e /lib/systemd/system/warderon.service -a ! -e /usr/share/man/man8/warderon.8.gz
check "remove keeps the settings and baselines" test -f /var/lib/warderon/policy.sqlite

dpkg --purge warderon >/dev/null 2>&1
after=$(snapshot)
left=$(diff <(printf '%s\n' "$before") <(printf '%s\n' "$after") | grep '^[<>]' || true)
if [ -z "$left" ]; then pass "purge leaves the machine as it was"; else fail "purge leaves:"; printf '%s\n' "$left" | head -20; fi
finish

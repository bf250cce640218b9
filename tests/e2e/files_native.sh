#!/usr/bin/env bash
# The file integrity monitor of the native program on a real directory.
set -u
warderon=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
store=$work/state/policy.sqlite
watched=$work/Watched
mkdir -p "$watched/Deep/Er"
echo one >"$watched/Deep/Er/old.txt"
policy() { "$warderon" -policy "$@" -store "$store" >/dev/null; }
wait_for() { wait_for_text "$work/out" "$1" "$2"; }

policy set IncludeDirs "$watched/" 1 -type integer
policy set general FilesEnabled 1 -type integer
policy set general Delay 0 -type integer
"$warderon" -run -store "$store" >"$work/out" 2>&1 &
pid=$!
wait_for "Warderon starting" 10 || fail "the daemon starts"
sleep 1
echo new >"$watched/Deep/fresh file.txt"
wait_for " NEW FILE : $watched/Deep/fresh file.txt" 15 && pass "a new file is reported" || fail "a new file is reported"
echo longer >>"$watched/Deep/Er/old.txt"
touch -d '2020-01-01 10:00:00' "$watched/Deep/Er/old.txt"
wait_for " Changed Time : $watched/Deep/Er/old.txt (" 15 && pass "a touched file is reported" ||
  fail "a touched file is reported"
wait_for " Changed Size :$watched/Deep/Er/old.txt (4->11)" 15 && pass "its new size follows a cycle later" ||
  fail "its new size follows a cycle later"
rm "$watched/Deep/fresh file.txt"
wait_for " ERASED : $watched/Deep/fresh file.txt" 15 && pass "a deleted file is reported" ||
  fail "a deleted file is reported"
kill -TERM "$pid"
wait "$pid" 2>/dev/null
pid=
[ "$(grep -c 'NEW FILE' "$work/out")" -eq 1 ] && pass "each change is reported once" || fail "each change is reported once"

catalogue=$work/state/files.lst
if [ -f "$catalogue" ]; then
  pass "the catalogue sits next to the store"
  expect_line "the catalogue holds path, size and time" "$(tr -d '\r' <"$catalogue")" \
    " [0-9]\.[0-9]{14}E\+[0-9]{4}"
  [ "$(wc -l <"$catalogue")" -eq 3 ] && pass "one entry of three lines" || fail "one entry of three lines"
else
  fail "the catalogue sits next to the store"
fi

finish

#!/usr/bin/env bash
# The file integrity monitor of warderon.exe under Wine, on a Linux folder
# seen as Z:.
set -u
. "$(dirname "$0")/wine_common.sh"
wait_for() { wait_for_text "$work/out" "$1" "$2"; }
mkdir -p "$work/Watched"
echo one >"$work/Watched/Old.txt"
windows_dir="Z:${work//\//\\}\\Watched\\"

reset_policy
quiet reg add "$key\\IncludeDirs" /v "$windows_dir" /t REG_DWORD /d 1 /f
quiet reg add "$key\\general" /v FilesEnabled /t REG_DWORD /d 1 /f
quiet reg add "$key\\general" /v Delay /t REG_DWORD /d 0 /f
timeout 120 "$wine_run" "$exe" -run -cycles 4 >"$work/out" 2>&1 &
pid=$!
wait_for "Warderon starting" 30 || fail "the program starts"
sleep 1
echo new >"$work/Watched/New File.txt"
# Keys start with the include directory in lower case, then the names as found.
lower_dir=$(printf '%s' "$windows_dir" | tr 'A-Z' 'a-z')
wait_for " NEW FILE : ${lower_dir}New File.txt" 20 && pass "a new file is reported, keyed by the lower-cased include dir" ||
  fail "a new file is reported: $(tr -d '\r' <"$work/out" | grep -i 'new file')"
rm "$work/Watched/Old.txt"
wait_for " ERASED : ${lower_dir}Old.txt" 20 && pass "a deleted file is reported" || fail "a deleted file is reported"
wait "$pid" 2>/dev/null
pid=

finish

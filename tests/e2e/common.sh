# Helpers shared by the end-to-end scripts: a scratch folder ($work) and a
# background process ($pid) that are cleaned up however the script ends,
# the checks with their closing count, and for Wine a prefix of the
# script's own. The scripts run side by side: each takes its ports free at
# start and keeps every file in $work.
failures=0
checks=0
pid=
work=$(mktemp -d)
exit_steps=()
# at_exit COMMAND: run when the script ends, the last registered first.
at_exit() { exit_steps+=("$1"); }
run_exit_steps() {
  local i
  for ((i = ${#exit_steps[@]} - 1; i >= 0; i--)); do eval "${exit_steps[i]}"; done
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$work"
}
trap run_exit_steps EXIT

# free_port: a TCP port of 127.0.0.1 that nothing listens on now.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# use_own_wine_prefix: gives this script a Wine prefix of its own, a copy of
# the run's prepared prefix ($WARDERON_WINE_TEMPLATE, booted here once if it
# is missing) with a wine server of its own, stopped when the script ends.
# The wine-run wrapper honours it through WARDERON_TEST_WINEPREFIX. Program
# files are hard links (Wine never writes them); what Wine writes (the
# registry, every other file) is copied.
use_own_wine_prefix() {
  local template=${WARDERON_WINE_TEMPLATE:?the Wine scripts need WARDERON_WINE_TEMPLATE}
  local wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
  mkdir -p "$(dirname "$template")"
  (
    flock 9
    if [ ! -f "$template/system.reg" ]; then
      WINEPREFIX=$template timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1
      WINEPREFIX=$template timeout 120 "$wineserver" -w
    fi
  ) 9>"$template.lock"
  local prefix
  prefix=$(mktemp -d "$template.copy.XXXXXX")
  rmdir "$prefix"
  cp -al "$template" "$prefix"
  find "$prefix" -type f ! \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.drv' -o -iname '*.sys' \
    -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.acm' -o -iname '*.ax' -o -iname '*.tlb' \
    -o -iname '*.msstyles' -o -iname '*.ttf' \) -exec sh -c \
    'for f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done' sh {} +
  rm -rf "$prefix/drive_c/orvan"
  export WARDERON_TEST_WINEPREFIX=$prefix
  WINEPREFIX=$prefix WINEDEBUG=-all "$wineserver" -p </dev/null >/dev/null 2>&1 &
  at_exit "WINEPREFIX='$prefix' '$wineserver' -k >/dev/null 2>&1; rm -rf '$prefix'"
  WINEPREFIX=$prefix WINEDEBUG=-all timeout 300 "$wine" wineboot </dev/null >/dev/null 2>&1 || true
}

# wait_for_text FILE TEXT SECONDS: until FILE holds TEXT (CR dropped).
wait_for_text() {
  local _
  for _ in $(seq $(($3 * 10))); do tr -d '\r' <"$1" 2>/dev/null | grep -qF -- "$2" && return 0; sleep 0.1; done
  return 1
}

pass() { checks=$((checks + 1)); echo "ok   $1"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL $1"; }

# expect_contains LABEL TEXT NEEDLE
expect_contains() {
  if printf '%s' "$2" | grep -qF -- "$3"; then pass "$1"; else fail "$1: '$3' not in:"; printf '%s\n' "$2" | sed 's/^/     | /'; fi
}

# expect_not_contains LABEL TEXT NEEDLE
expect_not_contains() {
  if printf '%s' "$2" | grep -qF -- "$3"; then fail "$1: '$3' unexpected in:"; printf '%s\n' "$2" | sed 's/^/     | /'; else pass "$1"; fi
}

# expect_line LABEL TEXT REGEX (a whole line must match)
expect_line() {
  if printf '%s\n' "$2" | grep -qE -- "^$3\$"; then pass "$1"; else fail "$1: no line /$3/ in:"; printf '%s\n' "$2" | sed 's/^/     | /'; fi
}

# expect_no_line LABEL TEXT REGEX (no whole line may match)
expect_no_line() {
  if printf '%s\n' "$2" | grep -qE -- "^$3\$"; then fail "$1: a line /$3/ in:"; printf '%s\n' "$2" | sed 's/^/     | /'; else pass "$1"; fi
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}

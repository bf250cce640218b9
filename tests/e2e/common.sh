# Helpers shared by the end-to-end scripts: a scratch folder ($work) and a
# background process ($pid) that are cleaned up however the script ends,
# and the checks with their closing count.
failures=0
checks=0
pid=
work=$(mktemp -d)
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT

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

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}

# Helpers shared by the end-to-end scripts.
failures=0
checks=0

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

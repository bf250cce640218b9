# What the Wine end-to-end scripts share, on top of common.sh: their two
# arguments (the wine-run wrapper and warderon.exe), the policy key, and a
# few calls through Wine.
wine_run=$1
exe=$2
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh"
use_own_wine_prefix
key='HKLM\Software\Policies\dunmarrow\orvan\warderon'

# quiet COMMAND...: runs a Windows command with its output thrown away.
quiet() { "$wine_run" "$@" >/dev/null 2>&1; }
# run: one cycle of warderon.exe in the console, CR dropped.
run() { timeout 120 "$wine_run" "$exe" -run -cycles 1 | tr -d '\r'; }
# reset_policy: the whole policy subtree removed.
reset_policy() { quiet reg delete 'HKLM\Software\Policies\dunmarrow' /f; }

# The program under test, native or under Wine, for the scripts that run
# both: source it after common.sh with the script's arguments
#   native WARDERON | wine WINE-RUN WARDERON.EXE
# It defines
#   set_setting NAME VALUE TYPE   a value of section "general" (TYPE string or integer)
#   run_cycles N                  N cycles in the console (CR dropped)
#   program_path PATH             a Linux path as the program sees it
mode=$1
if [ "$mode" = native ]; then
  warderon=$2
  store=$work/policy.sqlite
  set_setting() { "$warderon" -policy set general "$1" "$2" -type "$3" -store "$store" >/dev/null; }
  run_cycles() { timeout 300 "$warderon" -run -cycles "$1" -store "$store"; }
  program_path() { printf '%s' "$1"; }
else
  wine_run=$2
  exe=$3
  key='HKLM\Software\Policies\dunmarrow\orvan\warderon'
  use_own_wine_prefix
  "$wine_run" reg delete 'HKLM\Software\Policies\dunmarrow' /f >/dev/null 2>&1
  set_setting() {
    local type=REG_SZ
    [ "$3" = integer ] && type=REG_DWORD
    "$wine_run" reg add "$key\\general" /v "$1" /t "$type" /d "$2" /f >/dev/null 2>&1
  }
  run_cycles() { timeout 300 "$wine_run" "$exe" -run -cycles "$1" | tr -d '\r'; }
  program_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }
fi

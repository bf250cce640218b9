# release_version PROGRAM_VERSION_OUTPUT: the package version of a build,
# from what "warderon -version" prints: "warderon version 0001.0300" is
# release 1.3.0 (the data version's halves in hexadecimal).
release_version() {
  printf '%s\n' "$1" | tr -d '\r' | sed -E 's/.* 0*([0-9A-F]+)\.([0-9A-F]{2})([0-9A-F]{2})$/\1 \2 \3/' |
    { read -r major minor patch; echo "$((16#$major)).$((16#$minor)).$((16#$patch))"; }
}

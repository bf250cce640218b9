# Shared by the scripts: installing what is missing, and the build folders.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${WARDERON_BUILD_DIR:-$root/build}

# ensure_packages PKG...: installs with apt-get whatever is not installed yet.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# The packages every native build needs.
native_packages=(cmake ninja-build g++ ccache googletest libsqlite3-dev libssl-dev libldap-dev)
# What the Windows build and its tests add.
windows_packages=(g++-mingw-w64-x86-64-posix wine64)
# What the MSI, the Debian package and the policy templates are made and checked with.
packaging_packages=(wixl lintian dpkg-dev man-db libxml2-utils)

# configure_and_build NAME CMAKE-ARGS...: configures build folder NAME and
# builds it, keeping the output in NAME.build.log unless it fails.
configure_and_build() {
  local name=$1
  shift
  local dir=$build_root/$name
  # A compiler cache makes a second run of the scripts rebuild only what changed.
  # Paths below the clone are hashed relative to it and the build folder is not
  # hashed, so a clone at another path hits what an earlier clone cached (its
  # debug information then names the earlier clone's files).
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
  cmake -S "$root" -B "$dir" -G Ninja -DWARDERON_WERROR=ON "${launcher[@]}" "$@" \
    >"$dir.configure.log" 2>&1 ||
    { mkdir -p "$dir"; cat "$dir.configure.log"; return 1; }
  if cmake --build "$dir" -j "$(nproc)" >"$dir.build.log" 2>&1; then
    echo "built $name ($(grep -c '^\[' "$dir.build.log") steps; log in $dir.build.log)"
  else
    grep -E 'error|FAILED' -A4 "$dir.build.log" | head -n 80
    echo "build of $name failed; whole log in $dir.build.log"
    return 1
  fi
}

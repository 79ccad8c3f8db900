# Shared by the CI jobs: installing Debian packages and building the extension into a directory of its
# own. Sourced, not run; expects the virtual environment of .ci/run to be active.

# Installs the Debian packages that are missing (CI runs as root; elsewhere sudo is used).
apt_install() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build_site NAME COMPILER: the extension and the test-hooks module built with COMPILER and warnings as
# errors, installed into build/NAME-site (put it on PYTHONPATH to test it).
build_site() {
  local name=$1 compiler=$2
  pip install --quiet scikit-build-core
  rm -rf "build/$name-site"
  CXX="$(command -v "$compiler")" pip install --quiet --no-build-isolation --no-deps --target "build/$name-site" \
    -Cbuild-dir="build/$name" \
    -Ccmake.define.QUORBIS_TEST_HOOKS=ON \
    -Ccmake.define.QUORBIS_WERROR=ON \
    .
}

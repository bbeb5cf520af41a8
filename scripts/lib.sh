# Shared by the project's scripts: installs missing Debian packages and builds.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

VETHRA_PACKAGES=(cmake ninja-build g++ pkg-config libjansson-dev libgtest-dev libgmock-dev
                 libbenchmark-dev procps util-linux iproute2 clang libclang-rt-14-dev faketime curl
                 zlib1g-dev libmicrohttpd-dev libgnutls28-dev libyaml-cpp-dev libcrypt-dev openssl
                 dpkg-dev debhelper lintian clang-format)

# Parallel jobs for ninja and ctest: the machine's cores unless JOBS is set.
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# install_packages PKG... : installs those that are not installed yet.
install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# build DIR [cmake args...] [-- ninja targets...]
# Configures DIR (once; later calls only pass changed arguments) and builds
# the given targets, or everything.
build() {
  local dir=$1; shift
  local cmake_args=() targets=()
  while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then shift; targets=("$@"); break; fi
    cmake_args+=("$1"); shift
  done
  cmake -S "$ROOT" -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
  ninja -C "$dir" -j "$JOBS" "${targets[@]}"
}

# Names of the test binaries a build tree defines (unit_* and e2e_tests).
test_targets() {
  ninja -C "$1" -t targets all 2>/dev/null |
    sed -n 's/^\(tests\/\)\{0,1\}\(unit_[a-z_]*\|e2e_tests\): .*/\2/p' | sort -u
}

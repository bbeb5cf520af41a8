# Shared by the project's scripts: installs missing Debian packages and builds.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

VETHRA_PACKAGES=(cmake ninja-build g++ pkg-config libjansson-dev libgtest-dev libgmock-dev
                 libbenchmark-dev procps util-linux iproute2 clang libclang-rt-14-dev faketime curl)

install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# build DIR [cmake args...]
build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}

# Shared by scripts/test and scripts/run: installs what the build needs from
# Debian, once, and configures and builds one preset.
set -euo pipefail
VELTO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

VELTO_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libcli11-dev libfmt-dev libcpp-httplib-dev
  iproute2
)

# Installs only what is missing, so a second run costs a dpkg query.
velto_install_packages() {
  local missing=()
  for p in "${VELTO_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# velto_build PRESET [TARGET...]
velto_build() {
  local preset="$1"; shift
  cmake --preset "$preset" -S "$VELTO_ROOT" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" --target "$@"
  else
    cmake --build --preset "$preset"
  fi
}

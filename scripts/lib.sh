# Shared by scripts/start and scripts/test: install the Debian packages the
# build needs, only those that are missing, with one package-list update.

run_as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "error: need root (or sudo) to install: $*" >&2
    return 1
  fi
}

package_installed() {
  dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'
}

ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "installing: ${missing[*]}"
  run_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  run_as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends --no-upgrade "${missing[@]}" </dev/null
}

# Everything the default (g++) build needs, tests and benchmarks included.
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev libcli11-dev)

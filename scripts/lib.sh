# Shared by scripts/start, scripts/test and tests/windows/install-tools.sh:
# install the Debian packages they need, only those that are missing, with one
# package-list update.

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

# Reads the status whole: `dpkg -s | grep -q` would stop reading at the first
# match, and under pipefail dpkg's broken pipe would then count as "missing".
package_installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# ensure_packages PACKAGE...: installs those of the packages that are missing
# (an architecture-qualified name such as wine32:i386 included), never
# upgrading what is installed. Prints what it asks for; nothing when all are there.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "install: asking for: ${missing[*]}"
  # Another apt (an unattended upgrade, a second run) may hold the lock a while.
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -q)
  run_as_root "${apt[@]}" update
  run_as_root "${apt[@]}" install --no-install-recommends --no-upgrade "${missing[@]}" </dev/null
}

# Everything the default (g++) build needs, tests and benchmarks included.
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev libcli11-dev)

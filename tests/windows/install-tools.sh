#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need, and only what is
# missing, for the Wine modes named on the command line:
#
#   tests/windows/install-tools.sh x64 [x86] [x86-emulated]
#
# Always: the 32-bit MinGW cross compiler (the program people run is 32-bit
# and is built and checked on every machine), Wine, a virtual X display,
# xdotool to find and drive windows, xprop (the icons a window gives the
# desktop), ImageMagick (its `import` takes the screenshots), Wine's fonts,
# and python3-pefile, which the resource and import checks read programs with.
# x64: the 64-bit MinGW cross compiler and 64-bit Wine.
# x86, x86-emulated: the 32-bit half of Wine is unpacked into a folder of its
#      own (tests/windows/x86-emulated.sh), run natively or by qemu-user: the
#      64-bit wineserver, patchelf (the folder's Wine run natively takes the
#      folder's own interpreter), gcc for the two libraries of
#      tests/windows/x86-emulated/; x86-emulated also the 64-bit cross
#      compiler for the program its trace is compared with.
# No mode installs an i386 package or adds an architecture.
#
# Prints the packages it asks for (or that all were present). Installed
# packages are never upgraded.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$root/scripts/lib.sh"

packages=(g++-mingw-w64-i686-win32 wine xvfb xdotool x11-utils imagemagick fonts-wine python3 python3-pefile)
for mode in "$@"; do
  case $mode in
    x64) packages+=(g++-mingw-w64-x86-64-win32 wine64) ;;
    x86) packages+=(patchelf wine64 gcc) ;;
    x86-emulated) packages+=(qemu-user patchelf wine64 gcc g++-mingw-w64-x86-64-win32) ;;
    *) echo "install-tools.sh: unknown Wine mode '$mode' (x64, x86 or x86-emulated)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  package_installed "$p" || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install: all present (${packages[*]}); asked for nothing"
  exit 0
fi
ensure_packages "${missing[@]}"

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
# x64: the 64-bit MinGW cross compiler and 64-bit Wine; no i386 package and
#      no foreign architecture.
# x86: the 32-bit half of Wine, which needs the i386 architecture.
# x86-emulated: qemu-user, patchelf (the folder's Wine run natively takes the
#      folder's own interpreter), the 64-bit wineserver, gcc for the two libraries
#      of tests/windows/x86-emulated/ and the 64-bit cross compiler for the
#      program its trace is compared with; the 32-bit half of Wine is
#      unpacked into a folder of its own (tests/windows/x86-emulated.sh).
#
# Prints the packages it asks for (or that all were present), and whether it
# added an architecture. Installed packages are never upgraded.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
. "$root/scripts/lib.sh"

packages=(g++-mingw-w64-i686-win32 wine xvfb xdotool x11-utils imagemagick fonts-wine python3 python3-pefile)
want_i386=0
for mode in "$@"; do
  case $mode in
    x64) packages+=(g++-mingw-w64-x86-64-win32 wine64) ;;
    x86) packages+=(wine32:i386); want_i386=1 ;;
    x86-emulated) packages+=(qemu-user patchelf wine64 gcc g++-mingw-w64-x86-64-win32) ;;
    *) echo "install-tools.sh: unknown Wine mode '$mode' (x64, x86 or x86-emulated)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  package_installed "$p" || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install: all present (${packages[*]}); asked for nothing; architectures added: none"
  exit 0
fi

added_i386=0
if [[ $want_i386 -eq 1 ]] && ! grep -qx i386 <(dpkg --print-foreign-architectures); then
  run_as_root dpkg --add-architecture i386
  added_i386=1
  echo "install: architectures added: i386 (the 32-bit half of Wine)"
else
  echo "install: architectures added: none"
fi
if ! ensure_packages "${missing[@]}"; then
  # An architecture added for packages that never came would make every later
  # package-list update fetch its indexes, and fail with them.
  if [[ $added_i386 -eq 1 ]] && run_as_root dpkg --remove-architecture i386 2>/dev/null; then
    echo "install: architectures removed again: i386"
  fi
  exit 1
fi

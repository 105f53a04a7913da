#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need, and only what is
# missing: the 32-bit MinGW cross compiler, Wine with its 32-bit half, a
# virtual X display, xdotool to find and drive windows, ImageMagick (its
# `import` takes the screenshots) and Wine's fonts.
set -euo pipefail

packages=(g++-mingw-w64-i686 wine wine32:i386 xvfb xdotool imagemagick fonts-wine)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
apt_opts=(-o DPkg::Lock::Timeout=900 -y -q)
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
# Package lists that were never fetched (or not since i386 was added) cannot
# find the 32-bit half of Wine.
if [[ $need_update -eq 1 ]] || ! apt-cache show wine32:i386 >/dev/null 2>&1; then
  apt-get "${apt_opts[@]}" update
fi
DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" install --no-install-recommends "${missing[@]}"

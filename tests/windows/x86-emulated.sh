# The Wine mode x86-emulated: the 32-bit programs people run, under 32-bit
# Wine, on a machine whose kernel cannot execute 32-bit x86 code. Wine's
# 32-bit half runs under qemu-i386 (user-mode emulation), from a folder made
# of Debian's i386 packages, unpacked and never installed:
#
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tarn-wine-i386/   (TARN_WINE_I386_CACHE)
#     root/   the wine32:i386 closure, each .deb unpacked with dpkg -x
#     wine    the launcher: qemu-i386 on the folder's Wine loader
#     apt/    apt's own status file, package lists and downloads
#
# apt-get runs with private state (an empty status file, i386 as its only
# architecture): the system's dpkg database, its architectures and its
# package lists are never touched, so other apt-get runs on the machine go on
# as if this did not exist. The folder is made once and reused by later runs
# and fresh clones; a new wine64 version makes it again. The wineserver is
# the system's 64-bit one, which speaks the same protocol when the versions
# match (the set-up asks for wine32 at the version of wine64).
#
# Usable alone, to make the folder: bash tests/windows/x86-emulated.sh setup
# Sourced by run-wine-tests.sh for x86e_setup and x86e_scenarios.

x86e_root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
x86e_cache=${TARN_WINE_I386_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarn-wine-i386}
x86e_folder=$x86e_cache/root
x86e_launcher=$x86e_cache/wine
x86e_wineserver=/usr/lib/wine/wineserver64
# Inside the emulated processes, paths are the folder's (qemu -L).
x86e_preload_path=/usr/lib/tarn-x86-emulated/preload.so

# x86e_setup LOG: makes the folder if it is missing or stale, and builds the
# preload library into it. Prints one line saying what it did. Runs of this
# set-up at the same time take turns (a lock in the cache folder).
x86e_setup() {
  local log=$1 status
  mkdir -p "$x86e_cache" || return 1
  (
    flock 9 || exit 1
    x86e_make_folder "$log" && x86e_build_preload "$log"
  ) 9>"$x86e_cache/lock"
  status=$?
  return "$status"
}

x86e_version() { dpkg-query -W -f '${Version}' wine64 2>/dev/null; }

x86e_make_folder() {  # x86e_make_folder LOG
  local log=$1 version stamp started apt_dir new debs
  version=$(x86e_version)
  if [[ -z $version ]]; then
    echo "x86-emulated: wine64 is not installed: its wineserver serves the emulated Wine" | tee -a "$log"
    return 1
  fi
  stamp="wine32:i386 $version in $x86e_folder"
  if [[ -f $x86e_cache/ready && $(cat "$x86e_cache/ready") == "$stamp" && -x $x86e_launcher ]]; then
    echo "x86-emulated: reusing $x86e_folder ($stamp)"
    return 0
  fi
  started=$(date +%s)
  rm -f "$x86e_cache/ready"
  apt_dir=$x86e_cache/apt
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
  : >"$apt_dir/status"
  # The system's sources and keys; everything else apt keeps is its own here.
  local apt=(apt-get -q -y
    -o "Dir::State=$apt_dir" -o "Dir::State::status=$apt_dir/status"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
    -o "Dir::Cache::archives=$apt_dir/archives"
    -o APT::Architecture=i386 -o APT::Architectures::=i386
    -o "APT::Sandbox::User=$(id -un)" -o Debug::NoLocking=1)
  {
    echo "== apt-get update (private lists, i386 only)"
    "${apt[@]}" update
    echo "== apt-get install --download-only wine32=$version"
    "${apt[@]}" install --download-only --no-install-recommends "wine32=$version"
  } >>"$log" 2>&1
  debs=("$apt_dir"/archives/*.deb)
  if [[ ! -f ${debs[0]} ]] || ! ls "$apt_dir"/archives/wine32_*.deb >/dev/null 2>&1; then
    echo "x86-emulated: downloading wine32:i386 $version failed: $(grep -m1 '^E:' "$log")" | tee -a "$log"
    return 1
  fi
  new=$x86e_cache/root.new
  rm -rf "$new" "$x86e_folder"
  mkdir -p "$new"
  local deb
  for deb in "${debs[@]}"; do
    dpkg -x "$deb" "$new" >>"$log" 2>&1 || { echo "x86-emulated: unpacking $deb failed" | tee -a "$log"; return 1; }
  done
  mv "$new" "$x86e_folder"
  if ! x86e_finish_folder >>"$log" 2>&1; then
    echo "x86-emulated: preparing the folder failed (log: $log)" | tee -a "$log"
    return 1
  fi
  rm -rf "$apt_dir/archives"
  echo "$stamp" >"$x86e_cache/ready"
  echo "x86-emulated: made $x86e_folder from ${#debs[@]} packages in $(($(date +%s) - started)) s ($(du -sh "$x86e_folder" | cut -f1))"
}

# x86e_finish_folder: what installing the packages would have done, and what
# running them under qemu needs.
x86e_finish_folder() (
  set -e
  folder=$x86e_folder
  # libwine's post-install step: Wine's builtin zlib made from MinGW's.
  for arch in i686 x86_64; do
    in=$(echo "$folder/usr/$arch-w64-mingw32/lib/"zlib*.dll)
    out=$folder/usr/lib/i386-linux-gnu/wine/${arch/i686/i386}-windows/$(basename "$in")
    head -c 64 "$in" >"$out"
    printf '%b' 'Wine builtin DLL' '\0\0\0\0\0\0\0\0' '\0\0\0\0\0\0\0\0' >>"$out"
    tail -c +97 "$in" >>"$out"
  done
  # The emulated loader reads the folder's etc/ (qemu -L): a cache naming the
  # folder's own libraries, so that it never takes one of the host's 32-bit
  # libraries, and the preload library.
  sed -n "s|^/|$folder/|p" "$folder"/etc/ld.so.conf.d/*.conf >"$folder/etc/ld.so.conf.tarn"
  ldconfig -X -f "$folder/etc/ld.so.conf.tarn" -C "$folder/etc/ld.so.cache"
  echo "$x86e_preload_path" >"$folder/etc/ld.so.preload"
  # Wine starts each of its processes through wine-preloader, beside its
  # loader, giving it the loader and the program's arguments. Debian ships no
  # preloader, and the i386 loader needs the emulator.
  printf '%s\n' '#!/bin/sh' "exec qemu-i386 -L '$folder' \"\$@\"" >"$folder/usr/lib/wine/wine-preloader"
  chmod +x "$folder/usr/lib/wine/wine-preloader"
  # WINELOADERNOEXEC: the loader goes on at once instead of restarting
  # itself through the preloader.
  printf '%s\n' '#!/bin/sh' \
    "# 32-bit Wine under qemu-i386, from $folder (tests/windows/x86-emulated.sh)." \
    "export WINELOADERNOEXEC=1 WINESERVER=$x86e_wineserver" \
    "exec qemu-i386 -L '$folder' '$folder/usr/lib/wine/wine' \"\$@\"" >"$x86e_launcher"
  chmod +x "$x86e_launcher"
)


# x86e_build_preload LOG: the preload library, built from the project's
# source into the folder when it changed.
x86e_build_preload() {
  local log=$1 target=$x86e_folder$x86e_preload_path built=$x86e_cache/preload.so.new
  mkdir -p "$(dirname "$target")"
  if ! gcc -m32 -O2 -Wall -Wextra -Werror -nostdlib -ffreestanding -fPIC -shared -o "$built" \
      "$x86e_root_dir/tests/windows/x86-emulated/preload.c" >>"$log" 2>&1; then
    echo "x86-emulated: building the preload library failed: $(grep -m1 -E 'error|warning' "$log")"
    return 1
  fi
  if cmp -s "$built" "$target"; then
    rm -f "$built"
  else
    mv "$built" "$target"
  fi
}

if [[ ${BASH_SOURCE[0]} == "$0" && ${1:-} == setup ]]; then
  x86e_setup "${2:-/dev/stderr}"
fi

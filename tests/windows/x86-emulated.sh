# The Wine mode x86-emulated: the 32-bit programs people run, under 32-bit
# Wine, on a machine whose kernel cannot execute 32-bit x86 code. Wine's
# 32-bit half runs under qemu-i386 (user-mode emulation), from a folder made
# of Debian's i386 packages, unpacked and never installed:
#
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tarn-wine-i386/   (TARN_WINE_I386_CACHE)
#     root/        the wine32:i386 closure, each .deb unpacked with dpkg -x
#     wine         the launcher: qemu-i386 on the folder's Wine loader
#     server-shim.so, loaded into the system's 64-bit wineserver
#     apt/         apt's own status file and package lists
#
# apt-get runs with private state (an empty status file, i386 as its only
# architecture): the system's dpkg database, its architectures and its
# package lists are never touched, so other apt-get runs on the machine go on
# as if this did not exist. The folder is made once and reused by later runs
# and fresh clones; a new wine64 version makes it again. The wineserver is
# the system's 64-bit one, which speaks the same protocol when the versions
# match (the set-up asks for wine32 at the version of wine64).
#
#   bash tests/windows/x86-emulated.sh setup [LOG]
# makes the folder and prints "launcher: PATH", the 32-bit Wine to run
# programs with; the Windows tests (conftest.py) call it so.

x86e_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
x86e_cache=${TARN_WINE_I386_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarn-wine-i386}
x86e_folder=$x86e_cache/root
x86e_launcher=$x86e_cache/wine
# Where qemu puts guest address 0; server-shim.c moves the server's accesses
# by the same distance.
x86e_guest_base=0x10000
# Inside the emulated processes, paths are the folder's (qemu -L).
x86e_preload_path=/usr/lib/tarn-x86-emulated/preload.so

# x86e_setup LOG: makes the folder if it is missing or stale, then the
# launchers and the two libraries. Prints one line saying what it did. Runs
# of the set-up at the same time take turns (a lock in the cache folder).
x86e_setup() {
  local log=$1
  mkdir -p "$x86e_cache" || return 1
  (
    flock 9 || exit 1
    x86e_make_folder "$log" && x86e_finish "$log"
  ) 9>"$x86e_cache/lock"
}

x86e_make_folder() {  # x86e_make_folder LOG
  local log=$1 version stamp started apt_dir new debs deb
  version=$(dpkg-query -W -f '${Version}' wine64 2>/dev/null)
  if [[ -z $version ]]; then
    echo "x86-emulated: wine64 is not installed: its wineserver serves the emulated Wine" | tee -a "$log"
    return 1
  fi
  stamp="wine32:i386 $version in $x86e_folder"
  if [[ -f $x86e_cache/ready && $(cat "$x86e_cache/ready") == "$stamp" ]]; then
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
  if ! ls "$apt_dir"/archives/wine32_*.deb >/dev/null 2>&1; then
    echo "x86-emulated: downloading wine32:i386 $version failed: $(grep -m1 '^E:' "$log")" | tee -a "$log"
    return 1
  fi
  new=$x86e_cache/root.new
  rm -rf "$new" "$x86e_folder"
  mkdir -p "$new"
  for deb in "${debs[@]}"; do
    dpkg -x "$deb" "$new" >>"$log" 2>&1 || { echo "x86-emulated: unpacking $deb failed" | tee -a "$log"; return 1; }
  done
  mv "$new" "$x86e_folder"
  if ! x86e_prepare_folder >>"$log" 2>&1; then
    echo "x86-emulated: preparing the folder failed (log: $log)" | tee -a "$log"
    return 1
  fi
  rm -rf "$apt_dir/archives"
  echo "$stamp" >"$x86e_cache/ready"
  echo "x86-emulated: made $x86e_folder from ${#debs[@]} packages in $(($(date +%s) - started)) s ($(du -sh "$x86e_folder" | cut -f1))"
}

# x86e_prepare_folder: what installing the packages would have done, and a
# library cache of the folder's own.
x86e_prepare_folder() (
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
  # The emulated loader reads the folder's etc/ (qemu -L): a cache naming
  # only the folder's libraries, so that it never takes one of the host's
  # 32-bit libraries, and the preload library.
  sed -n "s|^/|$folder/|p" "$folder"/etc/ld.so.conf.d/*.conf >"$folder/etc/ld.so.conf.tarn"
  ldconfig -X -f "$folder/etc/ld.so.conf.tarn" -C "$folder/etc/ld.so.cache"
  echo "$x86e_preload_path" >"$folder/etc/ld.so.preload"
)

# x86e_finish LOG: the launchers, and the preload library and the server
# shim built from the project's sources. Written on every set-up, replaced
# only when they change.
x86e_finish() (
  set -e
  log=$1 folder=$x86e_folder
  qemu="qemu-i386 -B $x86e_guest_base -L '$folder'"
  # Wine starts each of its processes through wine-preloader, beside its
  # loader, giving it the loader and the program's arguments. Debian ships no
  # preloader, and the i386 loader needs the emulator.
  x86e_put "$folder/usr/lib/wine/wine-preloader" '#!/bin/sh' "exec $qemu \"\$@\""
  # WINELOADERNOEXEC: the loader goes on at once instead of restarting
  # itself through the preloader. A new thread's first steps sometimes
  # crash under the emulation (it starts at address 1); Wine's device host
  # and plug-and-play service, which start many, then hold up wineboot, and
  # the debugger Wine starts for a crashed process hangs. The programs here
  # need none of them, nor menu entries. A process that hangs is ended after
  # 10 minutes, far beyond any run here.
  x86e_put "$x86e_launcher" '#!/bin/sh' \
    "# 32-bit Wine under qemu-i386, from $folder (tests/windows/x86-emulated.sh)." \
    "export WINELOADERNOEXEC=1" \
    'export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedevice.exe,plugplay.exe,winemenubuilder.exe,winedbg.exe=d"' \
    "exec timeout -k 10 600 $qemu '$folder/usr/lib/wine/wine' \"\$@\""
  # Each process starts the wineserver beside the loader when none runs.
  x86e_put "$folder/usr/lib/wine/wineserver" '#!/bin/sh' \
    "LD_PRELOAD='$x86e_cache/server-shim.so' exec /usr/lib/wine/wineserver64 \"\$@\""
  x86e_build "$folder$x86e_preload_path" -m32 -nostdlib -ffreestanding "$x86e_source_dir/x86-emulated/preload.c"
  x86e_build "$x86e_cache/server-shim.so" "$x86e_source_dir/x86-emulated/server-shim.c"
)
# x86e_put FILE LINE...: FILE holding the lines, executable, replaced only
# when different (processes that run it meanwhile keep the old one).
x86e_put() {
  printf '%s\n' "${@:2}" >"$1.new"
  chmod +x "$1.new"
  if cmp -s "$1.new" "$1"; then rm -f "$1.new"; else mv "$1.new" "$1"; fi
}
x86e_build() {  # x86e_build OUTPUT GCC-ARGUMENT...
  mkdir -p "$(dirname "$1")"
  if ! gcc -O2 -Wall -Wextra -Werror -fPIC -shared -o "$1.new" "${@:2}" >>"$log" 2>&1; then
    echo "x86-emulated: building $(basename "${*: -1}") failed: $(grep -m1 -E 'error' "$log")"
    return 1
  fi
  if cmp -s "$1.new" "$1"; then rm -f "$1.new"; else mv "$1.new" "$1"; fi
}

if [[ ${1:-} == setup ]]; then
  x86e_setup "${2:-/dev/stderr}" && echo "launcher: $x86e_launcher"
fi

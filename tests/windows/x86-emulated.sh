# The 32-bit half of Wine from a folder of its own, for the 32-bit programs
# people run: natively where this machine executes 32-bit x86 code, under
# qemu-i386 (user-mode emulation) where its kernel cannot. The folder is made
# of Debian's i386 packages, unpacked and never installed, and holds a Wine
# prefix booted once, which every run starts from a copy of:
#
#   ${XDG_CACHE_HOME:-$HOME/.cache}/tarn-wine-i386/   (TARN_WINE_I386_CACHE)
#     root/        the wine32:i386 closure, each .deb unpacked with dpkg -x
#     wine         the emulated launcher: qemu-i386 on the folder's Wine loader
#     wine-native  the native launcher: the loader copy in root/usr/lib/wine-native/
#     server-shim.so, loaded into the system's 64-bit wineserver under emulation
#     prefix/      a win32 prefix booted by the folder's Wine (prefix.ready says how)
#     apt/         apt's own status file and package lists
#
# apt-get runs with private state (an empty status file, i386 as its only
# architecture): the system's dpkg database, its architectures and its
# package lists are never touched, so other apt-get runs on the machine go on
# as if this did not exist. The folder is made once and reused by later runs
# and fresh clones; a new wine64 version makes it, and its prefix, again. The
# wineserver is the system's 64-bit one, which speaks the same protocol when
# the versions match (the set-up asks for wine32 at the version of wine64).
#
#   bash tests/windows/x86-emulated.sh setup [LOG [HOW]]   the folder and the booted prefix
#   bash tests/windows/x86-emulated.sh prefix DEST     DEST made a fresh copy of the prefix
#   bash tests/windows/x86-emulated.sh env [HOW]       the settings of a run (below)
#   bash tests/windows/x86-emulated.sh run-env DEST [HOW] [LOG]   all three: one call per run
#   bash tests/windows/x86-emulated.sh runs-x86   exit 0 where this machine runs 32-bit code, else why not
#
# HOW is native, emulated or auto (native where this machine runs 32-bit code).
# env prints NAME=VALUE lines: TARN_X86_WINE (native or emulated), WINELOADER
# (the launcher to run programs with), WINESERVER, WINEARCH and, from
# run-env, WINEPREFIX. The Windows tests (conftest.py) call run-env once per run.

x86e_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
x86e_cache=${TARN_WINE_I386_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarn-wine-i386}
x86e_folder=$x86e_cache/root
x86e_launcher=$x86e_cache/wine
x86e_native_launcher=$x86e_cache/wine-native
x86e_native_bin=$x86e_folder/usr/lib/wine-native
x86e_prefix=$x86e_cache/prefix
# Where qemu puts guest address 0; server-shim.c moves the server's accesses
# by the same distance.
x86e_guest_base=0x10000
# Inside the emulated processes, paths are the folder's (qemu -L).
x86e_preload_path=/usr/lib/tarn-x86-emulated/preload.so
# The settings both launchers' programs run with: no browser or .NET runtime
# engine (the programs need neither, and Wine would offer to install them).
x86e_dll_overrides="mscoree,mshtml="

# x86e_runs_x86: whether this machine executes 32-bit x86 code, by running a
# 96-byte static i386 program that exits with 42 (it needs no i386 package).
# Prints why not when it does not.
x86e_runs_x86() {
  local file status result
  file=$(mktemp "${TMPDIR:-/tmp}/tarn-x86-probe.XXXXXX") || return 1
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$file"
  chmod +x "$file"
  result=$( ("$file") 2>&1)
  status=$?
  rm -f "$file"
  [[ $status -eq 42 ]] && return 0
  result=$(sed -n 's/.*: //p' <<<"$result" | head -1)
  echo "${result:-exit status $status}"
  return 1
}

# x86e_how HOW: native or emulated, auto answered for this machine.
x86e_how() {
  case ${1:-auto} in
    native | emulated) echo "$1" ;;
    auto) if x86e_runs_x86 >/dev/null; then echo native; else echo emulated; fi ;;
    *) echo "x86-emulated.sh: '$1' is not native, emulated or auto" >&2; return 2 ;;
  esac
}

# x86e_setup LOG [HOW]: makes the folder if it is missing or stale, then the
# launchers and the two libraries, then the prefix, booted as HOW says (auto:
# natively where this machine can). Prints one line per step saying what it
# did. Set-ups at the same time take turns (a lock in the cache folder).
x86e_setup() {
  local log=$1 how
  how=$(x86e_how "${2:-auto}") || return 2
  mkdir -p "$x86e_cache" || return 1
  (
    flock 9 || exit 1
    x86e_make_folder "$log" && x86e_finish "$log" && x86e_make_prefix "$log" "$how"
  ) 9>"$x86e_cache/lock"
}

x86e_wine_version() { dpkg-query -W -f '${Version}' wine64 2>/dev/null; }

x86e_make_folder() {  # x86e_make_folder LOG
  local log=$1 version stamp started apt_dir new debs deb
  version=$(x86e_wine_version)
  if [[ -z $version ]]; then
    echo "x86: wine64 is not installed: its wineserver serves the folder's Wine" | tee -a "$log"
    return 1
  fi
  stamp="wine32:i386 $version in $x86e_folder"
  if [[ -f $x86e_cache/ready && $(cat "$x86e_cache/ready") == "$stamp" ]]; then
    echo "x86: reusing $x86e_folder ($stamp)"
    return 0
  fi
  started=$(date +%s)
  rm -f "$x86e_cache/ready" "$x86e_cache/prefix.ready"
  apt_dir=$x86e_cache/apt
  # The lists of an earlier set-up stay: apt falls back on them for an index
  # the mirror refuses.
  rm -rf "$apt_dir/archives"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
  : >"$apt_dir/status"
  # The system's sources and keys; everything else apt keeps is its own here.
  local apt=(apt-get -q -y
    -o "Dir::State=$apt_dir" -o "Dir::State::status=$apt_dir/status"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
    -o "Dir::Cache::archives=$apt_dir/archives"
    -o APT::Architecture=i386 -o APT::Architectures::=i386 -o Acquire::Retries=3
    -o "APT::Sandbox::User=$(id -un)" -o Debug::NoLocking=1)
  # An index the mirror refuses (the security suite's i386 index was refused
  # for hours once) is said, not fatal: wine32 at wine64's version and its
  # closure usually come from the main suite, and the install below is what
  # decides.
  {
    echo "== apt-get update (private lists, i386 only)"
    "${apt[@]}" update || echo "== apt-get update ended with $?: the indexes it could fetch are used"
    echo "== apt-get install --download-only wine32=$version"
    "${apt[@]}" install --download-only --no-install-recommends "wine32=$version"
  } >>"$log" 2>&1
  debs=("$apt_dir"/archives/*.deb)
  if ! ls "$apt_dir"/archives/wine32_*.deb >/dev/null 2>&1; then
    echo "x86: downloading wine32:i386 $version failed: $(grep -m1 '^E:' "$log")" | tee -a "$log"
    return 1
  fi
  new=$x86e_cache/root.new
  rm -rf "$new" "$x86e_folder" "$x86e_prefix"
  mkdir -p "$new"
  for deb in "${debs[@]}"; do
    dpkg -x "$deb" "$new" >>"$log" 2>&1 || { echo "x86: unpacking $deb failed" | tee -a "$log"; return 1; }
  done
  mv "$new" "$x86e_folder"
  if ! x86e_prepare_folder >>"$log" 2>&1; then
    echo "x86: preparing the folder failed (log: $log)" | tee -a "$log"
    return 1
  fi
  rm -rf "$apt_dir/archives"
  echo "$stamp" >"$x86e_cache/ready"
  echo "x86: made $x86e_folder from ${#debs[@]} packages in $(($(date +%s) - started)) s ($(du -sh "$x86e_folder" | cut -f1))"
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
    "export WINEDLLOVERRIDES=\"\${WINEDLLOVERRIDES:-$x86e_dll_overrides};winedevice.exe,plugplay.exe,winemenubuilder.exe,winedbg.exe=d\"" \
    "exec timeout -k 10 600 $qemu '$folder/usr/lib/wine/wine' \"\$@\""
  # Each process starts the wineserver beside the loader when none runs.
  x86e_put "$folder/usr/lib/wine/wineserver" '#!/bin/sh' \
    "LD_PRELOAD='$x86e_cache/server-shim.so' exec /usr/lib/wine/wineserver64 \"\$@\""
  # Run natively, the loader finds Wine's libraries beside itself, the
  # wineserver beside itself (the plain 64-bit one, not the emulated
  # launcher's) and its C library through its own interpreter: a copy in a
  # folder of its own whose interpreter is the folder's.
  mkdir -p "$x86e_native_bin"
  cp "$folder/usr/lib/wine/wine" "$x86e_native_bin/wine.new"
  patchelf --set-interpreter "$(readlink -f "$folder/lib/ld-linux.so.2")" "$x86e_native_bin/wine.new"
  if cmp -s "$x86e_native_bin/wine.new" "$x86e_native_bin/wine"; then
    rm "$x86e_native_bin/wine.new"
  else
    mv "$x86e_native_bin/wine.new" "$x86e_native_bin/wine"
  fi
  # The folder's libraries before any of the host's 32-bit ones (the host's
  # library cache may name some), the wineserver without them.
  x86e_put "$x86e_native_launcher" '#!/bin/sh' \
    "# 32-bit Wine run natively from $folder (tests/windows/x86-emulated.sh)." \
    "export LD_LIBRARY_PATH='$(paste -sd: "$folder/etc/ld.so.conf.tarn")'" \
    "export WINEDLLOVERRIDES=\"\${WINEDLLOVERRIDES:-$x86e_dll_overrides};winemenubuilder.exe=d\"" \
    "exec timeout -k 10 600 '$x86e_native_bin/wine' \"\$@\""
  x86e_put "$x86e_native_bin/wineserver" '#!/bin/sh' \
    'unset LD_LIBRARY_PATH' 'exec /usr/lib/wine/wineserver64 "$@"'
  x86e_build "$folder$x86e_preload_path" -m32 -nostdlib -ffreestanding -shared \
    "$x86e_source_dir/x86-emulated/preload.c"
  x86e_build "$x86e_cache/server-shim.so" -shared "$x86e_source_dir/x86-emulated/server-shim.c"
  x86e_check_preload
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
  if ! gcc -O2 -Wall -Wextra -Werror -fPIC -o "$1.new" "${@:2}" >>"$log" 2>&1; then
    echo "x86: building $(basename "${*: -1}") failed: $(grep -m1 -E 'error' "$log")"
    return 1
  fi
  if cmp -s "$1.new" "$1"; then rm -f "$1.new"; else mv "$1.new" "$1"; fi
}

# x86e_check_preload: the preload library's handler wrapping, in a static
# i386 program of its own (preload_check.c), natively or under qemu-i386.
x86e_check_preload() {
  local check=$x86e_cache/preload-check runner=() status=0
  x86e_build "$check" -m32 -nostdlib -ffreestanding -static -fno-pic \
    "$x86e_source_dir/x86-emulated/preload_check.c" || return 1
  x86e_runs_x86 >/dev/null || runner=(qemu-i386)
  timeout 10 "${runner[@]}" "$check" || status=$?
  [[ $status -eq 0 ]] && return 0
  echo "x86: the preload library's check failed (status $status: 1 a handler ran other than once, 124 or above 128 it ran away)"
  return 1
}

# x86e_make_prefix LOG HOW: a win32 prefix booted by the folder's Wine, once
# per folder, natively or under the emulation (a boot that hangs there is
# ended and tried once more), set as the Windows tests want it. Then a copy of
# it must run a Wine program without being booted again.
x86e_make_prefix() {
  local log=$1 how=$2 stamp started try
  stamp="prefix of $(cat "$x86e_cache/ready"); $x86e_prefix_settings"
  if [[ -f $x86e_cache/prefix.ready && $(head -1 "$x86e_cache/prefix.ready") == "$stamp" ]]; then
    echo "x86: reusing $x86e_prefix ($(tail -1 "$x86e_cache/prefix.ready"))"
    return 0
  fi
  started=$(date +%s)
  rm -rf "$x86e_prefix" "$x86e_prefix.new" "$x86e_cache/prefix.ready"
  for try in 1 2; do
    echo "== wineboot -i ($how, try $try)" >>"$log"
    x86e_in_prefix "$x86e_prefix.new" "$how" timeout -k 10 900 "$(x86e_loader "$how")" wineboot -i >>"$log" 2>&1 &&
      x86e_in_prefix "$x86e_prefix.new" "$how" timeout -k 10 300 "$(x86e_server "$how")" -w >>"$log" 2>&1 &&
      x86e_settle_prefix "$x86e_prefix.new" "$how" >>"$log" 2>&1 &&
      break
    x86e_in_prefix "$x86e_prefix.new" "$how" timeout 30 "$(x86e_server "$how")" -k >/dev/null 2>&1
    rm -rf "$x86e_prefix.new"
  done
  if [[ ! -f $x86e_prefix.new/system.reg ]]; then
    echo "x86: booting the prefix ($how) failed twice (log: $log)" | tee -a "$log"
    return 1
  fi
  mv "$x86e_prefix.new" "$x86e_prefix"
  if ! x86e_check_prefix "$how" >>"$log" 2>&1; then
    echo "x86: the booted prefix failed its check (log: $log)" | tee -a "$log"
    rm -rf "$x86e_prefix"
    return 1
  fi
  printf '%s\n' "$stamp" "booted $how in $(($(date +%s) - started)) s" >"$x86e_cache/prefix.ready"
  echo "x86: booted $x86e_prefix ($how) in $(($(date +%s) - started)) s ($(du -sh "$x86e_prefix" | cut -f1))"
}

# What the Windows tests want of every prefix, made here once instead of in
# each run: Wine draws each window's frame and caption itself, as Windows
# does (the virtual display has no window manager, and screenshots then show
# whole windows), with the caption's glyphs from Wine's Marlett font, which
# this Wine does not find in its own folder (fonts-wine has it). Only that
# font: with Wine's Tahoma there too, the sheet would size its pages in Tahoma
# while they lay out in MS Sans Serif, a pairing no Windows has.
x86e_prefix_settings="Wine draws the frames, Marlett"
x86e_settle_prefix() {  # x86e_settle_prefix PREFIX HOW
  x86e_in_prefix "$1" "$2" timeout -k 10 300 "$(x86e_loader "$2")" \
    reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f &&
    x86e_in_prefix "$1" "$2" timeout -k 10 300 "$(x86e_server "$2")" -w &&
    grep -q '^"Decorated"="N"' "$1/user.reg" &&
    ln -sf /usr/share/wine/fonts/marlett.ttf "$1/drive_c/windows/Fonts/" &&
    [[ -f $1/drive_c/windows/Fonts/marlett.ttf ]]
}

# x86e_check_prefix HOW: a copy runs cmd, which answers, and Wine does not
# take the copy for a prefix to make or update.
x86e_check_prefix() {
  local copy=$x86e_cache/prefix.check answer
  rm -rf "$copy" && cp -a "$x86e_prefix" "$copy" || return 1
  answer=$(x86e_in_prefix "$copy" "$1" timeout -k 10 300 "$(x86e_loader "$1")" cmd /c echo tarn-prefix-answers 2>&1)
  x86e_in_prefix "$copy" "$1" timeout 60 "$(x86e_server "$1")" -w
  rm -rf "$copy"
  echo "$answer"
  if [[ $answer != *tarn-prefix-answers* ]]; then
    echo "x86: a copy of the prefix does not run cmd"
    return 1
  elif grep -q 'has been updated\|created' <<<"$answer"; then
    echo "x86: Wine made or updated the copy of the prefix: runs would boot it again"
    return 1
  fi
}

x86e_loader() { [[ $1 == native ]] && echo "$x86e_native_launcher" || echo "$x86e_launcher"; }
x86e_server() { [[ $1 == native ]] && echo "$x86e_native_bin/wineserver" || echo "$x86e_folder/usr/lib/wine/wineserver"; }
x86e_in_prefix() {  # x86e_in_prefix PREFIX HOW COMMAND...: without a display
  WINEPREFIX=$1 WINEARCH=win32 WINELOADER=$(x86e_loader "$2") DISPLAY= WINEDEBUG=-all,err+module \
    WINEDLLOVERRIDES=$x86e_dll_overrides "${@:3}"
}

# x86e_copy_prefix DEST: DEST made a fresh copy of the booted prefix (under
# the set-up's lock: a set-up for a new Wine version replaces the prefix).
x86e_copy_prefix() {
  [[ -f $x86e_cache/prefix.ready ]] || { echo "x86: no booted prefix: run the set-up first" >&2; return 1; }
  rm -rf "$1" && mkdir -p "$(dirname "$1")" || return 1
  (flock 9 && cp -a "$x86e_prefix" "$1") 9>"$x86e_cache/lock"
}

# x86e_env HOW [PREFIX]: the settings of a run, as NAME=VALUE lines.
x86e_env() {
  local how
  how=$(x86e_how "$1") || return 2
  printf '%s\n' "TARN_X86_WINE=$how" "WINELOADER=$(x86e_loader "$how")" \
    "WINESERVER=$(x86e_server "$how")" "WINEARCH=win32" ${2:+"WINEPREFIX=$2"}
}

case ${1:-} in
  setup) x86e_setup "${2:-/dev/stderr}" "${3:-auto}" ;;
  prefix) [[ -n ${2:-} ]] && x86e_copy_prefix "$2" ;;
  env) x86e_env "${2:-auto}" ;;
  runs-x86) x86e_runs_x86 ;;
  run-env)
    [[ -n ${2:-} ]] && x86e_setup "${4:-/dev/stderr}" >&2 && x86e_copy_prefix "$2" &&
      x86e_env "${3:-auto}" "$2" ;;
  *) sed -n 's/^#   bash /usage: bash /p' "${BASH_SOURCE[0]}" >&2; false ;;
esac

#!/usr/bin/env bash
# The Windows program's tests: cross-builds both flavours of
# tarn-flash-update.exe with MinGW, checks the 32-bit programs (format,
# imports, the hardware flavour's refusals) and runs the programs under Wine
# on a virtual X display. Screenshots go to build/windows-tests/screenshots.
#
#   TARN_WINE_MODE=auto|x64|x86|x86-emulated tests/windows/run-wine-tests.sh
#
# Wine modes:
#   x86  the 32-bit programs under 32-bit Wine: what people run, but only on
#        machines that can execute 32-bit x86 programs;
#   x64  the same checks on 64-bit test builds of the programs under 64-bit
#        Wine, which runs on every machine of this kind;
#   x86-emulated  the 32-bit programs under 32-bit Wine run by qemu-i386, on
#        any machine (tests/windows/x86-emulated.sh);
#   auto (the default) x64, and x86 as well where this machine can run it.
# The first line printed says whether this machine runs 32-bit programs and
# which modes run. Each phase and each PASS/FAIL is printed as it happens; the
# end is a closing note with timings and screenshots, then "N passed, N failed".
# Exits non-zero on any failure.
#
# Every call of Wine, wineserver and the sheet probe runs under a time limit
# (bounded), and the whole part under TARN_WINDOWS_LIMIT seconds (default
# 1200): past a limit it stops what it started, says what it was waiting for
# and fails.
set -uo pipefail

whole_limit=${TARN_WINDOWS_LIMIT:-1200}
if [[ -z ${TARN_WINDOWS_UNDER_LIMIT:-} ]]; then
  TARN_WINDOWS_UNDER_LIMIT=1 exec timeout -k 30 "$whole_limit" "${BASH_SOURCE[0]}" "$@" </dev/null
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root" || exit 1
out=$root/build/windows-tests
shots=$out/screenshots
# Where a build folder holds the program and the sheet probe.
program_path=tools/tarn-flash-update/tarn-flash-update.exe
sheet_probe_path=tests/windows/tarn-sheet-probe.exe
mode_setting=${TARN_WINE_MODE:-auto}
# While working on one scenario: TARN_WINE_SCENARIOS="older_card" runs only it.
scenarios=${TARN_WINE_SCENARIOS:-three_cards six_cards older_card busy_sheet windows_versions dpi settings_message}
started=$(date +%s)
passed=0
failed=0
notes=()
shot_notes=()

elapsed() { echo $(($(date +%s) - started)); }
current_phase=starting
phase() { current_phase=$*; echo "--- $* (at $(elapsed) s)"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
note() { echo "$*"; notes+=("$*"); }  # a line now, and again in the closing note
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}
finish() {
  trap - TERM
  failed=$((failed + $(cat "$expired" 2>/dev/null | wc -l)))
  echo "--- closing note"
  local line
  for line in "${notes[@]}"; do echo "  $line"; done
  if [[ ${#shot_notes[@]} -gt 0 ]]; then
    echo "  screenshots in $shots:"
    for line in "${shot_notes[@]}"; do echo "    $line"; done
  fi
  echo "windows part took $(elapsed) s"
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit $?
}

rm -rf "$out"
mkdir -p "$shots"

# bounded SECONDS WHAT COMMAND...: runs COMMAND (a program, not a function)
# under a time limit. Past it, it is stopped, a FAIL line says what was
# waited for, and the status is 124. The line goes straight to the log (fd 3)
# and is counted through $expired, so this works inside command substitutions
# and pipelines too. In the foreground: the whole part's limit reaches the
# command as well, so this shell runs on_whole_limit at once.
exec 3>&1
expired=$out/expired.txt
waiting_for=
bounded() {
  local seconds=$1 what=$2 status
  shift 2
  waiting_for=$what
  timeout --foreground -k 5 "$seconds" "$@"
  status=$?
  waiting_for=
  if [[ $status -eq 124 || $status -eq 137 ]]; then
    echo "FAIL: waited $seconds s for $what; stopped it" >&3
    echo "$what" >>"$expired"
    return 124
  fi
  return "$status"
}
# The whole part's limit (the timeout above) stops everything with TERM.
on_whole_limit() {
  exec 1>&3 2>&3  # the log, also when the limit came inside a redirected call
  fail "the Windows part reached its limit of $whole_limit s in \"$current_phase\"${waiting_for:+, waiting for $waiting_for}"
  finish
}
trap on_whole_limit TERM

# ---- Can this machine execute 32-bit x86 programs? ----
# A 96-byte static i386 Linux program that exits with 42, written here: the
# answer needs no i386 package. (Some kernels are built without 32-bit
# support, and then no 32-bit Wine can start.)
x86_answer=no
x86_reason=
probe_x86() {
  local file=$out/x86-probe result
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$file"
  chmod +x "$file"
  result=$( ("$file") 2>&1)
  local status=$?
  if [[ $status -eq 42 ]]; then
    x86_answer=yes
  else
    x86_reason=$(sed -n 's/.*: //p' <<<"$result" | head -1)
    x86_reason=${x86_reason:-exit status $status}
  fi
  rm -f "$file"
}
probe_x86

case $mode_setting in
  auto) modes=(x64); [[ $x86_answer == yes ]] && modes+=(x86) ;;
  x64) modes=(x64) ;;
  x86) modes=(x86) ;;
  x86-emulated) modes=(x86-emulated) ;;
  *) modes=() ;;
esac
echo "=== windows: 32-bit x86 programs run on this machine: $x86_answer${x86_reason:+ ($x86_reason)};" \
  "Wine modes: ${modes[*]:-none} (TARN_WINE_MODE=$mode_setting)"
if [[ ${#modes[@]} -eq 0 ]]; then
  fail "TARN_WINE_MODE=$mode_setting: expected auto, x64, x86 or x86-emulated"
  finish
fi
if [[ $mode_setting == x86 && $x86_answer != yes ]]; then
  fail "TARN_WINE_MODE=x86, but this machine cannot execute 32-bit x86 programs ($x86_reason): use x64, x86-emulated or auto"
  finish
fi

# ---- Tools ----
has_mode() { [[ " ${modes[*]} " == *" $1 "* ]]; }
# auto asks for 32-bit Wine where the machine could run it, but a machine
# whose package mirror cannot give it still runs the 64-bit mode: that is said,
# not failed. A mode asked for by name must install.
if [[ $mode_setting == auto ]] && has_mode x86; then
  phase "install: 32-bit Wine for the x86 mode (log: $out/install-x86.log)"
  if bash "$root/tests/windows/install-tools.sh" x86 >"$out/install-x86.log" 2>&1; then
    grep '^install:' "$out/install-x86.log"
  else
    grep '^install:' "$out/install-x86.log"
    modes=(x64)
    note "x86 mode left out: 32-bit Wine could not be installed ($(grep -E '^(E|error):' "$out/install-x86.log" | head -1)); the 32-bit programs are checked, not run"
  fi
fi
phase "install: what the modes ${modes[*]} need, only what is missing (log: $out/install.log)"
if bash "$root/tests/windows/install-tools.sh" "${modes[@]}" >"$out/install.log" 2>&1; then
  grep '^install:' "$out/install.log"
else
  grep '^install:' "$out/install.log"
  fail "installing the tools: $(grep -E '^(E|error):' "$out/install.log" | head -1)"
  finish
fi
. "$root/tests/windows/x86-emulated.sh"
if [[ " ${modes[*]} " == *" x86-emulated "* ]]; then
  x86e_setup_phase || modes=("${modes[@]/x86-emulated/}")
fi

# ---- Builds ----
build() {  # build PRESET [LABEL [TARGET...]]: configure and build; the log is $out/build-PRESET.log
  local log=$out/build-$1.log targets=()
  [[ $# -gt 2 ]] && targets=(--target "${@:3}")
  phase "build: $1${3:+ (${*:3})}"
  if cmake --preset "$1" >"$log" 2>&1 && cmake --build --preset "$1" -j2 "${targets[@]}" >>"$log" 2>&1; then
    pass "${2:-$1} builds"
  else
    tail -n 30 "$log"
    fail "${2:-$1} builds"
    return 1
  fi
}

# Only DLLs that come with Windows: the C and C++ runtimes are linked in.
system_dlls='^(kernel32|user32|gdi32|comctl32|winmm|msvcrt|advapi32|shell32|ole32)\.dll$'
check_program() {  # check_program EXE LABEL FORMAT (pei-i386 or pei-x86-64) [FLAVOUR (sim or hardware)]
  local dlls bad headers objdump=i686-w64-mingw32-objdump
  [[ $3 == pei-x86-64 ]] && objdump=x86_64-w64-mingw32-objdump
  dlls=$("$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u || true)
  bad=$(grep -Ev "$system_dlls" <<<"$dlls" || true)
  if [[ -n "$dlls" && -z "$bad" ]]; then
    pass "$2 imports only system DLLs ($(echo $dlls))"
  else
    fail "$2 imports [$bad]"
  fi
  # Read whole before matching: grep -q stopping early would fail the pipe.
  headers=$("$objdump" -f -p "$1")
  check "$2 file format" "$3" "$(sed -n 's/.*file format //p' <<<"$headers" | head -1)"
  if grep -Eq 'Subsystem\s+0*2\s' <<<"$headers"; then
    pass "$2 is a GUI program"
  else
    fail "$2 is not a GUI program"
  fi
  # The resources: the manifest (common controls 6, asInvoker, dpiAware), the
  # version information with the flavour's word, the icon; no Wine needed.
  local resources
  if resources=$(/usr/bin/python3 "$root/tests/windows/check-manifest.py" --flavour "${4:-sim}" \
       --version "$project_version" "$1"); then
    pass "$2 carries its manifest, version information and icon"
    notes+=("$2, version information:")
    while read -r line; do notes+=("  $line"); done < <(grep '^  ' <<<"$resources")
  else
    fail "$2 resources (reason above)"
  fi
}
check_old_systems() {  # check_old_systems EXE LABEL: imports on the allow-list, header at most 4.0
  local result
  if result=$(bash "$root/tests/windows/check-imports.sh" --list "$1" 2>&1); then
    pass "$2 imports only functions that Windows 98 SE and 2000 both export; header versions at most 4.0"
  else
    fail "$2 would not load on Windows 98 SE or 2000: $(grep -E '^(not allowed|header|no imports)' <<<"$result" | paste -sd ';')"
  fi
  notes+=("$2, $(stat -c %s "$1") bytes, imports:")
  while read -r line; do notes+=("  $line"); done < <(grep -E '^[A-Z0-9_]+\.DLL \(' <<<"$result")
}

. "$root/tests/windows/whole-window-scenarios.sh"
sim_x86_dir=$root/build/windows-sim
# The project's version, which the programs' version information must carry.
project_version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
sim_x64_dir=$root/build/windows-sim-x64
# Only what runs and is checked: the 32-bit sheet probe only for the x86 mode,
# the 64-bit program for real cards only when its scenario runs.
runs_scenario() { [[ " $scenarios " == *" $1 "* ]]; }
sim_x86_targets=(tarn-flash-update)
{ has_mode x86 || has_mode x86-emulated; } && sim_x86_targets+=(tarn-sheet-probe)
build windows-sim "windows-sim (32-bit)" "${sim_x86_targets[@]}" || finish
check_program "$sim_x86_dir/$program_path" "simulated tarn-flash-update.exe (32-bit)" pei-i386
check_old_systems "$sim_x86_dir/$program_path" "simulated tarn-flash-update.exe (32-bit)"
save_icon_pictures "$sim_x86_dir/$program_path"
# x86-emulated compares its trace with the 64-bit program's.
if has_mode x64 || has_mode x86-emulated; then
  if build windows-sim-x64 "windows-sim-x64 (64-bit test build)"; then
    check_program "$sim_x64_dir/$program_path" "simulated tarn-flash-update.exe (64-bit test build)" pei-x86-64
  else
    modes=("${modes[@]/x64/}")
  fi
fi

# The import check itself: a program that imports a Vista-only function
# (GetTickCount64) must be refused, with the function and its DLL named.
phase "check of the import check"
cat >"$out/vista-import.c" <<'EOF'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
  (void)i; (void)p; (void)c; (void)s;
  return (int)(GetTickCount64() & 1);
}
EOF
if i686-w64-mingw32-gcc-win32 -mwindows -o "$out/vista-import.exe" "$out/vista-import.c" >"$out/vista-import.log" 2>&1; then
  result=$(bash "$root/tests/windows/check-imports.sh" "$out/vista-import.exe" 2>&1)
  status=$?
  check "the import check refuses a Vista-only import, naming it" "1 not allowed: KERNEL32.DLL GetTickCount64" \
    "$status $(grep GetTickCount64 <<<"$result")"
else
  fail "building the Vista-only test program: $(head -1 "$out/vista-import.log")"
fi

# ---- The program for real cards: built against a made-up firmware folder ----
# Each .exe made from it is copied out for the Wine runs and deleted at the
# end of this script, whatever happens: firmware that is not the card's never
# leaves this run inside a program.
firmware=$out/test-firmware
hardware_x86=$out/hardware-x86.exe
hardware_x64=$out/hardware-x64.exe
cleanup_hardware() {
  rm -f "$hardware_x86" "$hardware_x64" \
    "$root/build/windows-hardware/$program_path" "$root/build/windows-hardware-x64/$program_path"
  rm -rf "$firmware"
}
xvfb_pid=
cleanup() {
  [[ -n ${WINEPREFIX:-} ]] && timeout 10 wineserver -k >/dev/null 2>&1
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
  cleanup_hardware
}
trap cleanup EXIT
python3 "$root/tests/windows/make-test-firmware.py" "$firmware"
export TARN_FIRMWARE_DIR=$firmware
if build windows-hardware "windows-hardware (32-bit) against a firmware folder the check accepts"; then
  mv "$root/build/windows-hardware/$program_path" "$hardware_x86"
  check_program "$hardware_x86" "hardware tarn-flash-update.exe (32-bit)" pei-i386 hardware
  check_old_systems "$hardware_x86" "hardware tarn-flash-update.exe (32-bit)"
fi
if has_mode x64 && runs_scenario windows_versions &&
   build windows-hardware-x64 "windows-hardware-x64 (64-bit test build) against the same folder"; then
  mv "$root/build/windows-hardware-x64/$program_path" "$hardware_x64"
fi

# Stand-in firmware never goes into the program for real cards: not without
# a firmware folder, and not from a folder of stand-ins.
phase "the hardware flavour's refusals"
if TARN_FIRMWARE_DIR="" cmake --preset windows-hardware >"$out/configure-hardware-empty.log" 2>&1; then
  fail "windows-hardware refuses to configure without a firmware folder"
else
  pass "windows-hardware refuses to configure without a firmware folder"
fi
stand_ins=$out/stand-in-firmware
mkdir -p "$stand_ins"
cp "$sim_x86_dir"/payloads/data/*.bin "$stand_ins"/
if TARN_FIRMWARE_DIR=$stand_ins cmake --preset windows-hardware >"$out/configure-hardware-stand-ins.log" 2>&1 &&
   cmake --build --preset windows-hardware -j2 >"$out/build-hardware-stand-ins.log" 2>&1; then
  fail "windows-hardware refuses a folder of stand-in files"
else
  if grep -qi 'stand-in' "$out"/*-hardware-stand-ins.log; then
    pass "windows-hardware refuses a folder of stand-in files"
  else
    fail "windows-hardware fails on stand-in files, but not for being stand-ins"
  fi
fi
rm -f "$root/build/windows-hardware/$program_path"
unset TARN_FIRMWARE_DIR

# And the hardware entry point itself does not compile against stand-ins.
if i686-w64-mingw32-g++-win32 -std=c++20 -I"$root" -I"$sim_x86_dir/generated" -fsyntax-only \
    "$root/tools/tarn-flash-update/windows_program_hardware.cpp" >"$out/compile-hardware-stand-ins.log" 2>&1; then
  fail "the hardware entry point refuses stand-in payloads at compile time"
elif grep -q 'needs real firmware' "$out/compile-hardware-stand-ins.log"; then
  pass "the hardware entry point refuses stand-in payloads at compile time"
else
  fail "the hardware entry point fails to compile against stand-ins, but not for being stand-ins"
fi

check_resource_checks "$sim_x86_dir/$program_path" "$hardware_x86" "$project_version"

# ---- Screenshots ----
# A screenshot of one flat colour (a black screen, an empty display) shows
# nothing: it fails its check instead of passing for a picture.
is_picture() {  # is_picture FILE: more than one colour
  local colours
  colours=$(convert "$1" -format '%k' info: 2>/dev/null || echo 0)
  [[ ${colours:-0} -gt 1 ]]
}
phase "check of the screenshot check"
convert -size 320x200 xc:black "$out/flat.png" 2>/dev/null
convert -size 320x200 gradient:white-navy "$out/gradient.png" 2>/dev/null
is_picture "$out/flat.png" && fail "the screenshot check refuses a one-colour picture" ||
  pass "the screenshot check refuses a one-colour picture"
is_picture "$out/gradient.png" && pass "the screenshot check accepts a picture with content" ||
  fail "the screenshot check accepts a picture with content"

# The time limit itself: a command that would run 30 s is stopped after 1,
# with one line naming what was waited for (in a subshell: its FAIL is the
# expected outcome, not one of this run's).
phase "check of the time limit"
t0=$(date +%s)
result=$(exec 3>&1; expired=$out/limit-check.txt; bounded 1 "a command that never ends" sleep 30; echo "status $?")
if [[ $result == "FAIL: waited 1 s for a command that never ends; stopped it"$'\n'"status 124" &&
      $(($(date +%s) - t0)) -lt 10 ]]; then
  pass "a call past its time limit is stopped and named"
else
  fail "a call past its time limit should be stopped and named; after $(($(date +%s) - t0)) s: $result"
fi

# ---- Wine and the virtual display ----
# Xvfb picks a free display number itself and writes it out once it takes
# clients (-displayfd): runs beside other users of this machine cannot take
# the same number, and a display that does not start stops the run here.
phase "the virtual display"
Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$out/display-number" >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s $out/display-number ]] || ! kill -0 "$xvfb_pid" 2>/dev/null && break
  sleep 0.1
done
display_number=$(tr -dc 0-9 <"$out/display-number")
export DISPLAY=:${display_number:-none}
if [[ -z $display_number ]] || ! bounded 10 "the virtual display $DISPLAY to answer" xdotool getdisplaygeometry >/dev/null; then
  fail "the virtual display did not start within 10 s: $(head -1 "$out/xvfb.log")"
  finish
fi
pass "the virtual display $DISPLAY answers"
# No browser or .NET runtime engine: the program needs neither, and Wine
# would otherwise offer to install them.
export WINEDLLOVERRIDES="mscoree,mshtml="

caption="TARN Flash Update Tool, Rev. 15/53/106/152"
message_caption="TARN Flash Update Tool"
choice_caption="Flash Update Tool"

# What the current mode runs; set by run_mode.
mode=
wine_bin=
sim_exe=
probe_exe=
hardware_exe=
app_pid=
app_log=

# Limits: a Wine command or a probe answers within a minute or two even on a
# loaded machine (the probe may wait for a page busy with an update); a
# program started in the background is stopped after program_limit at the
# latest, should a scenario leave it running.
wine_run() { bounded 120 "wine ${*:1:3}" "$wine_bin" "$@"; }
probe() { bounded 120 "the sheet probe (${*:1:2})" "$wine_bin" "$probe_exe" "$@" 2>/dev/null | tr -d '\r'; }
wine_idle() { bounded 120 "wineserver -w (Wine's processes to end) after $1" wineserver -w; }
program_limit=900
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local until=$(($(date +%s) + $1)); shift
  waiting_for=$*
  while ! "$@" >/dev/null 2>&1; do
    [[ $(date +%s) -ge $until ]] && return 1
    sleep 0.3
  done
  waiting_for=
}
window_named() { xdotool search --name "^$1\$" 2>/dev/null | head -1; }
has_window() { [[ -n $(window_named "$1") ]]; }
app_running() { kill -0 "$app_pid" 2>/dev/null; }
app_ended() { ! app_running; }
first_wine_error() {  # first_wine_error LOG: the line that says why
  local line
  [[ $mode == x86-emulated ]] && { x86e_first_error "$1"; return; }
  line=$(grep -a -m1 -E 'err:|^wine: |[Ee]rror|cannot|not found' "$1" 2>/dev/null)
  [[ -z $line ]] && line=$(grep -a -m1 . "$1" 2>/dev/null)
  echo "${line:-no message from Wine}"
}
# wait_running SECONDS COMMAND...: as wait_for, but gives up at once when the
# program has ended (status 2), with one line saying why. poll_every is the
# pause between tries: each probe is a Wine process of its own, and during an
# update starting them every moment would take the CPU from the update.
poll_every=0.3
wait_running() {
  local until=$(($(date +%s) + $1)); shift
  waiting_for=$*
  while ! "$@" >/dev/null 2>&1; do
    if app_ended; then
      fail "$scenario_label: the program ended unexpectedly: $(first_wine_error "$app_log")"
      return 2
    fi
    [[ $(date +%s) -ge $until ]] && return 1
    sleep "$poll_every"
  done
  waiting_for=
}
wait_verdict() {  # wait_verdict PAGE: "Success" or "Failed" on the page, within 5 minutes
  poll_every=1.5 wait_running 300 verdict_on "$1"
}
# start_program LABEL: starts the simulated program under Wine and waits for
# its sheet. If Wine cannot start it, says why in one line and returns 1 at
# once instead of waiting out the timeouts.
scenario_label=
start_program() {  # start_program LABEL [EXE]
  scenario_label="$mode $1"
  app_log=$out/$mode-$1-stderr.txt
  timeout -k 5 "$program_limit" "$wine_bin" "${2:-$sim_exe}" >"$out/$mode-$1-stdout.txt" 2>"$app_log" &
  app_pid=$!
  local status
  wait_running 60 has_window "$caption"
  status=$?
  if [[ $status -eq 0 ]]; then
    pass "$mode $1: the card sheet opens, titled \"$caption\" (xdotool)"
  elif [[ $status -eq 1 ]]; then
    fail "$mode $1: the card sheet opens within 60 s"
    kill "$app_pid" 2>/dev/null
  fi
  return "$status"
}
end_program() {  # end_program LABEL: waits for the exit and checks its code
  if wait_for 30 app_ended; then
    wait "$app_pid"
    check "$mode $1: exit code" "0" "$?"
  else
    fail "$mode $1: waited 30 s for the program to end; stopped it"
    kill "$app_pid" 2>/dev/null
  fi
}
shoot() {  # shoot NAME WHAT [WINDOW TITLE]: the window alone, or the whole screen
  local id="" file=$shots/$mode-$1.png
  [[ $# -gt 2 ]] && id=$(window_named "$3")
  if ! import -window "${id:-root}" "$file" 2>/dev/null; then
    fail "$mode: screenshot $1"
  elif is_picture "$file"; then
    shot_notes+=("$mode-$1.png: $2")
  else
    fail "$mode: screenshot $1 is one flat colour, not a picture of $2"
  fi
}
click_control() {  # click_control WINDOW-TITLE PAGE ID
  local point
  point=$(probe point "$@") || return 1
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
}
page_field() {  # page_field PAGE FIELD: one line of the probe's report
  probe sheet "$caption" | sed -n "s/^page $1 $2: //p"
}
page_shown() { probe sheet "$caption" | grep -q "^page $1 status"; }
verdict_on() { page_field "$1" status | grep -Eqx 'Success|Failed'; }
dismiss_message() {  # dismiss_message CAPTION: its OK button, or Return
  click_control "$1" -1 1 || xdotool key Return
}
trace_count() {  # trace_count REGEX: matching lines of the trace (read after the program ends)
  local n
  n=$(tr -d '\r' <"$TARN_SIM_TRACE" 2>/dev/null | grep -Ec "$1" || true)
  echo "${n:-0}"
}

# Each page as it first shows: revision, verdict, interface choice.
expect_page() {  # expect_page LABEL INDEX REVISION STATUS INTERFACE
  local label="$mode $1: card $(($2 + 1))"
  probe select "$caption" "$2" >/dev/null
  wait_running 10 page_shown "$2"
  check "$label revision" "$3\\n" "$(page_field "$2" revision)"
  check "$label status" "$4" "$(page_field "$2" status)"
  check "$label interface controls" "$5" "$(page_field "$2" interface)"
  check "$label progress bar" "0 (msctls_progress32)" "$(page_field "$2" progress)"
  check "$label button" "Update" "$(page_field "$2" button)"
}

# ---- Scenarios: each needs the mode's settings above ----

# Three cards: pages, the interface question, an update to "Success" by
# click and again by Space, the power-off message, the trace.
scenario_three_cards() {
  local s=three-cards report update_started update_ms
  phase "$mode: scenario $s"
  export TARN_SIM_CARDS="14:pci,100,152"
  export TARN_SIM_TRACE=$out/$mode-sim-trace.txt
  start_program "$s" || return
  report=$(probe sheet "$caption")
  echo "$report" >"$out/$mode-sheet-at-start.txt"
  check "$mode $s: three tabs" "3" "$(sed -n 's/^tabs: //p' <<<"$report")"
  check "$mode $s: tab titles" "Card 1|Card 2|Card 3" "$(sed -n 's/^tab [0-9]: //p' <<<"$report" | paste -sd '|')"
  check "$mode $s: first tab selected" "0" "$(sed -n 's/^selected: //p' <<<"$report")"
  shoot 01-sheet-card1 "the sheet, three tabs, card 1 (revision 14, Not updated, Interface shown)" "$caption"
  expect_page "$s" 0 14 "Not updated" "group visible, PCI visible, CardBus visible"
  expect_page "$s" 2 152 "Up-to-date" "group hidden, PCI hidden, CardBus hidden"
  shoot 02-sheet-card3 "card 3 (revision 152, Up-to-date, no Interface group)" "$caption"

  # An older card with no interface chosen: the page asks for one and
  # updates nothing.
  probe select "$caption" 0 >/dev/null
  sleep 0.3
  click_control "$caption" 0 1 || fail "$mode $s: clicking Update on card 1"
  if wait_running 30 has_window "$choice_caption"; then
    check "$mode $s: card 1 without an interface asks for one" "Please select your interface type (PCI/CardBus)" \
      "$(probe texts "$choice_caption" | sed -n 's/^text: //p' | head -1)"
    shoot 03-card1-choose-interface "the message asking for the interface type" "$choice_caption"
    dismiss_message "$choice_caption"
    wait_for 10 bash -c "! xdotool search --name '^$choice_caption\$' >/dev/null 2>&1" ||
      fail "$mode $s: the interface message closes"
  else
    fail "$mode $s: card 1 without an interface asks for one"
    app_running || return
  fi
  check "$mode $s: card 1 status after the refused update" "Not updated" "$(page_field 0 status)"
  expect_page "$s" 1 100 "Not updated" "group hidden, PCI hidden, CardBus hidden"

  # Click "Update" on card 2 and wait for the verdict.
  update_started=$(now_ms)
  click_control "$caption" 1 1 || fail "$mode $s: clicking Update"
  # Mid-update picture: the page paints its status line and bar as it goes
  # (the probe cannot ask now: the page's thread is busy with the update).
  sleep 1.5
  shoot 04-card2-updating "card 2 during its flash update" "$caption"
  if wait_verdict 1; then
    update_ms=$(($(now_ms) - update_started))
    note "$mode: flash update on card 2 took $update_ms ms under Wine, trace on (click to verdict)"
  else
    [[ $? -eq 2 ]] && return
    fail "$mode $s: the update on card 2 ends within 5 minutes"
  fi
  check "$mode $s: card 2 status after Update (click)" "Success" "$(page_field 1 status)"
  check "$mode $s: card 2 progress bar after Update" "100 (msctls_progress32)" "$(page_field 1 progress)"
  shoot 05-card2-success "card 2 after the update: Success, bar at 100" "$caption"

  # Space on the focused button runs it again. The status line and the bar
  # are marked first, so only a new update can bring back "Success" and 100.
  probe settext "$caption" 1 1002 "marked by the test" || fail "$mode $s: marking the status line"
  probe setpos "$caption" 1 1009 7 || fail "$mode $s: marking the progress bar"
  check "$mode $s: card 2 status marked" "marked by the test" "$(page_field 1 status)"
  xdotool key space
  if ! wait_verdict 1; then
    [[ $? -eq 2 ]] && return
    fail "$mode $s: Space on Update starts a second update"
  fi
  check "$mode $s: card 2 status after Update (Space)" "Success" "$(page_field 1 status)"
  check "$mode $s: card 2 progress bar after Update (Space)" "100 (msctls_progress32)" "$(page_field 1 progress)"

  # Close the sheet with its OK button: the power-off message follows.
  click_control "$caption" -1 1 || fail "$mode $s: clicking OK on the sheet"
  if wait_running 30 has_window "$message_caption"; then
    pass "$mode $s: the power-off message opens, titled \"$message_caption\" (xdotool)"
    check "$mode $s: power-off message text" \
      "Shut down and power off the computer\\nfor the update to become active." \
      "$(probe texts "$message_caption" | sed -n 's/^text: //p' | head -1)"
    shoot 06-power-off-message "the power-off message after the sheet closed" "$message_caption"
    has_window "$caption" && fail "$mode $s: the sheet is gone when the message shows" ||
      pass "$mode $s: the sheet is gone when the message shows"
    dismiss_message "$message_caption"
  else
    fail "$mode $s: the power-off message opens"
  fi
  end_program "$s"

  # The program's own trace (complete once it has ended): two updates, each
  # going to 100, through the card's registers; the refused one left no trace.
  if [[ -s $TARN_SIM_TRACE ]]; then
    pass "$mode $s: the simulated driver wrote its trace"
    check "$mode $s: trace: two updates reached 100" "2" "$(trace_count '^P 100$')"
    check "$mode $s: trace: the last progress position is 100" "P 100" "$(tr -d '\r' <"$TARN_SIM_TRACE" | grep '^P ' | tail -1)"
    check "$mode $s: trace: lines end in a bare newline, as on Linux" "0" "$(grep -c $'\r' "$TARN_SIM_TRACE" || true)"
    [[ $(trace_count '^[WR] ') -gt 0 ]] && pass "$mode $s: trace: the updates used the card's registers" ||
      fail "$mode $s: trace: the updates used the card's registers"
  else
    fail "$mode $s: the simulated driver wrote its trace"
  fi
}

# Six cards, closed without an update: six tabs, no message. The cards keep
# their state in a file, which the second start replaces on Windows' terms.
scenario_six_cards() {
  local s=six-cards report
  phase "$mode: scenario $s"
  export TARN_SIM_CARDS="20,60,110,152,14:cardbus,53"
  export TARN_SIM_TRACE=$out/$mode-sim6-trace.txt
  export TARN_SIM_STATE=$out/$mode-six-cards.state
  rm -f "$TARN_SIM_STATE"
  start_program "$s" || { unset TARN_SIM_STATE; return; }
  report=$(probe sheet "$caption")
  check "$mode $s: six tabs" "6" "$(sed -n 's/^tabs: //p' <<<"$report")"
  check "$mode $s: tab titles in card order" "Card 1|Card 2|Card 3|Card 4|Card 5|Card 6" \
    "$(sed -n 's/^tab [0-9]: //p' <<<"$report" | paste -sd '|')"
  expect_page "$s" 5 53 "Up-to-date" "group visible, PCI visible, CardBus visible"
  shoot 07-six-cards "six tabs, card 6 (revision 53, Up-to-date)" "$caption"
  click_control "$caption" -1 2 || fail "$mode $s: clicking Cancel on the sheet"
  end_program "$s"
  check "$mode $s: no power-off message without an update" "" "$(window_named "$message_caption")"
  [[ -s $TARN_SIM_STATE ]] && pass "$mode $s: the cards' state is saved" || fail "$mode $s: the cards' state is saved"
  # Again, over the state file now there: it must be replaced, not refused.
  if start_program "$s-again"; then
    click_control "$caption" -1 2 || fail "$mode $s-again: clicking Cancel on the sheet"
    end_program "$s-again"
    check "$mode $s-again: the state file replaced, no file left beside it" "$TARN_SIM_STATE" \
      "$(ls "$TARN_SIM_STATE"* 2>/dev/null | paste -sd ' ')"
    check "$mode $s-again: nothing said about the state" "" "$(tr -d '\r' <"$app_log")"
  fi
  unset TARN_SIM_STATE
}

# An older card through its JTAG chain: choose PCI, update.
scenario_older_card() {
  local s=older-card
  phase "$mode: scenario $s"
  export TARN_SIM_CARDS="14:pci"
  export TARN_SIM_TRACE=$out/$mode-sim-jtag-trace.txt
  start_program "$s" || return
  click_control "$caption" 0 1010 || fail "$mode $s: clicking PCI"
  sleep 0.3
  click_control "$caption" 0 1 || fail "$mode $s: clicking Update on the older card"
  sleep 2
  shoot 08-jtag-updating "the older card during its chain update" "$caption"
  if ! wait_verdict 0; then
    [[ $? -eq 2 ]] && return
    fail "$mode $s: the chain update ends within 5 minutes"
  fi
  check "$mode $s: status after the chain update" "Success" "$(page_field 0 status)"
  check "$mode $s: progress bar after the chain update" "100 (msctls_progress32)" "$(page_field 0 progress)"
  shoot 09-jtag-success "the older card after the chain update: Success, bar at 100" "$caption"
  click_control "$caption" -1 1 || fail "$mode $s: clicking OK on the sheet"
  if wait_running 30 has_window "$message_caption"; then
    pass "$mode $s: the power-off message opens"
    dismiss_message "$message_caption"
  else
    fail "$mode $s: the power-off message opens"
  fi
  end_program "$s"
  # The play ends by handing the chain back: the last port write is 16.
  check "$mode $s: trace: the last JTAG port write is 16" "W 0100 00000010" \
    "$(tr -d '\r' <"$TARN_SIM_TRACE" | grep '^W 0100 ' | tail -1)"
}

# Input while the sheet is busy: during an update, and under the interface
# message (tests/windows/busy-sheet-scenarios.sh).
. "$root/tests/windows/busy-sheet-scenarios.sh"
scenario_busy_sheet() {
  phase "$mode: scenario busy-sheet"
  busy_sheet_scenarios
}

# Wine as Windows 98, XP and 10 (the systems the two driver families run
# on): the simulated program shows its sheet and updates to "Success"; the
# program for real cards, with no driver, ends at once with 0 and no window,
# having chosen the driver family from GetVersion (Wine's file log shows the
# device it tried to open).
scenario_windows_versions() {
  local version device device_logged s seen t0 hw_log
  for version in ${wine_versions:-win98 winxp win10}; do
    s=as-$version
    phase "$mode: scenario $s"
    wine_run reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >"$out/$mode-$s-reg.log" 2>&1 ||
      { fail "$mode $s: setting Wine's Windows version: $(first_wine_error "$out/$mode-$s-reg.log")"; continue; }
    wine_idle "setting the Windows version to $version"
    # No trace: the update alone, as a person would run it.
    export TARN_SIM_CARDS="100"
    unset TARN_SIM_TRACE
    # Under emulation only the program for real cards: the sheet is checked already.
    if [[ $mode != x86-emulated ]] && start_program "$s"; then
      check "$mode $s: one tab" "1" "$(probe sheet "$caption" | sed -n 's/^tabs: //p')"
      t0=$(now_ms)
      click_control "$caption" 0 1 || fail "$mode $s: clicking Update"
      if wait_verdict 0; then
        note "$mode: flash update as $version took $(($(now_ms) - t0)) ms under Wine, no trace"
        check "$mode $s: status after Update" "Success" "$(page_field 0 status)"
        shoot "13-$version-success" "the sheet under Wine as $version after an update: Success" "$caption"
        click_control "$caption" -1 1 || fail "$mode $s: clicking OK on the sheet"
        wait_running 30 has_window "$message_caption" && dismiss_message "$message_caption"
        end_program "$s"
      elif [[ $? -eq 1 ]]; then
        fail "$mode $s: the update ends within 5 minutes"
        kill "$app_pid" 2>/dev/null
      fi
    fi
    if [[ ! -f $hardware_exe ]]; then
      fail "$mode $s: no program for real cards to run (its build failed)"
      continue
    fi
    # Wine's log doubles each backslash of a name.
    [[ $version == win98 ]] && device='\\.\tarn.vxd' || device='\\.\tarnOut0'
    device_logged=${device//\\/\\\\}
    hw_log=$out/$mode-$s-hardware-file-log.txt
    t0=$(now_ms)
    WINEDEBUG=-all,err+module,+file bounded 60 "the program for real cards to end (as $version)" \
      "$wine_bin" "$hardware_exe" >/dev/null 2>"$hw_log" &
    app_pid=$!
    seen=
    while app_running; do
      has_window "$caption" && seen=sheet
      has_window "$message_caption" && seen=message
      sleep 0.1
    done
    wait "$app_pid"
    check "$mode $s: with no driver the program for real cards exits 0" "0" "$?"
    check "$mode $s: with no driver no window shows" "" "$seen"
    note "$mode: no-driver run as $version took $(($(now_ms) - t0)) ms"
    if grep -aqF "CreateFileW L\"$device_logged\"" "$hw_log"; then
      pass "$mode $s: it chose the driver family from GetVersion: it tried to open $device"
    else
      fail "$mode $s: it should have tried to open $device; it opened [$(grep -ao 'CreateFileW L"[^"]*"' "$hw_log" | grep -v ':' | paste -sd ' ')]"
    fi
  done
  wine_run reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1
  wine_idle "resetting the Windows version"
}

# Only on request (TARN_WINE_SCENARIOS=hung_program), to see the limits work:
# the program runs as a plain Wine call and its sheet is never closed, so the
# call's limit stops it (and TARN_WINDOWS_LIMIT below that, the whole part's).
scenario_hung_program() {
  phase "$mode: scenario hung-program (its sheet is never closed)"
  export TARN_SIM_CARDS="100"
  unset TARN_SIM_TRACE
  wine_run "$sim_exe" >"$out/$mode-hung-program.log" 2>&1
}

# The fail-fast start itself: a program that Wine cannot load (it imports a
# DLL that does not exist) must fail its scenario within seconds, with Wine's
# error in the one line, not after the 60 s wait for a window.
check_fail_fast() {
  local arch=i686 dir=$out/$mode-no-such-dll t0 result
  [[ $mode == x64 ]] && arch=x86_64
  mkdir -p "$dir"
  printf 'LIBRARY tarn-no-such.dll\nEXPORTS\nnoSuchFunction\n' >"$dir/no-such.def"
  printf 'void noSuchFunction(void);\nint main(void) { noSuchFunction(); return 0; }\n' >"$dir/main.c"
  if ! "$arch-w64-mingw32-dlltool" -d "$dir/no-such.def" -l "$dir/libno-such.a" >"$dir/build.log" 2>&1 ||
     ! "$arch-w64-mingw32-gcc-win32" -o "$dir/no-such-dll.exe" "$dir/main.c" "$dir/libno-such.a" >>"$dir/build.log" 2>&1; then
    fail "$mode: building the program Wine cannot load: $(head -1 "$dir/build.log")"
    return
  fi
  t0=$(date +%s)
  # In a subshell: its FAIL is the expected outcome, not one of this run's.
  result=$(start_program fail-fast "$dir/no-such-dll.exe")
  if [[ $(($(date +%s) - t0)) -lt 30 && $result == *"program ended unexpectedly: "*"tarn-no-such.dll"* ]]; then
    pass "$mode: a program Wine cannot load fails at once ($(($(date +%s) - t0)) s), saying why: ${result#*unexpectedly: }"
  else
    fail "$mode: a program Wine cannot load should fail at once with Wine's error; after $(($(date +%s) - t0)) s: $result"
  fi
}

run_mode() {  # run_mode x64|x86
  mode=$1
  local mode_started
  mode_started=$(date +%s)
  if [[ $mode == x64 ]]; then
    sim_exe=$sim_x64_dir/$program_path
    probe_exe=$sim_x64_dir/$sheet_probe_path
    hardware_exe=$hardware_x64
    wine_bin=$(command -v /usr/lib/wine/wine64 wine64 | head -1)
    export WINEARCH=win64
  else
    sim_exe=$sim_x86_dir/$program_path
    probe_exe=$sim_x86_dir/$sheet_probe_path
    hardware_exe=$hardware_x86
    wine_bin=$(command -v /usr/lib/wine/wine wine | head -1)
    [[ $mode == x86-emulated ]] && wine_bin=$x86e_launcher
    export WINEARCH=win32
  fi
  export WINEPREFIX=$out/wineprefix-$mode WINELOADER=$wine_bin
  # Quiet, but for the loader's errors: the first of them says why a program
  # did not start.
  export WINEDEBUG=-all,err+module
  # Under emulation, whether the program was loaded tells the emulation's
  # failures from the program's.
  [[ $mode == x86-emulated ]] && WINEDEBUG+=,+loaddll
  phase "$mode: wineboot (a fresh Wine prefix, $WINEARCH)"
  if [[ -z $wine_bin ]]; then
    fail "$mode: no Wine loader for this mode is installed"
    return
  fi
  if ! bounded 300 "wineboot (a fresh Wine prefix)" "$wine_bin" wineboot -i >"$out/$mode-wineboot.log" 2>&1; then
    fail "$mode: Wine cannot start: $(first_wine_error "$out/$mode-wineboot.log")"
    return
  fi
  wine_idle wineboot
  pass "$mode: Wine starts ($(($(date +%s) - mode_started)) s for wineboot)"
  wine_draws_frames
  phase "$mode: check of the fail-fast start"
  check_fail_fast
  local scenario mode_scenarios=$scenarios wine_versions=
  if [[ $mode == x86-emulated ]]; then
    mode_scenarios=${TARN_WINE_SCENARIOS:-$x86e_scenarios} wine_versions=$x86e_versions
  fi
  for scenario in $mode_scenarios; do
    "scenario_$scenario"
  done
  bounded 30 "wineserver -k (Wine's processes stopped)" wineserver -k >/dev/null 2>&1
  note "$mode: Wine part took $(($(date +%s) - mode_started)) s"
}

for m in "${modes[@]}"; do
  [[ -n $m ]] && run_mode "$m"
done
finish

#!/usr/bin/env bash
# The Windows program's tests: cross-builds both flavours of
# tarn-flash-update.exe with MinGW, and runs them under Wine on a virtual X
# display. Screenshots go to build/windows-tests/screenshots.
#
#   tests/windows/run-wine-tests.sh
#
# Prints "N passed, N failed" at the end and exits non-zero on any failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
out=$root/build/windows-tests
shots=$out/screenshots
started=$(date +%s)
passed=0
failed=0

now_ms() { echo $(($(date +%s%N) / 1000000)); }
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}
finish() {
  echo "windows part took $(($(date +%s) - started)) s"
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
  exit $?
}

bash "$root/tests/windows/install-tools.sh" || { fail "installing the tools"; finish; }

rm -rf "$out"
mkdir -p "$shots"

# ---- Cross-build: the simulated flavour ----
if cmake --preset windows-sim >"$out/configure-sim.log" 2>&1 &&
   cmake --build --preset windows-sim -j2 >"$out/build-sim.log" 2>&1; then
  pass "windows-sim builds"
else
  tail -30 "$out"/*-sim.log
  fail "windows-sim builds"
  finish
fi
sim_exe=$root/build/windows-sim/tools/tarn-flash-update/tarn-flash-update.exe
probe_exe=$root/build/windows-sim/tests/windows/tarn-sheet-probe.exe

# Only DLLs that come with Windows: the C and C++ runtimes are linked in.
system_dlls='^(kernel32|user32|gdi32|comctl32|winmm|msvcrt|advapi32|shell32|ole32)\.dll$'
check_imports() {  # check_imports EXE LABEL
  local dlls bad
  dlls=$(i686-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u || true)
  bad=$(grep -Ev "$system_dlls" <<<"$dlls" || true)
  if [[ -n "$dlls" && -z "$bad" ]]; then
    pass "$2 imports only system DLLs ($(echo $dlls))"
  else
    fail "$2 imports [$bad]"
  fi
  # Read whole before matching: grep -q stopping early would fail the pipe.
  local headers
  headers=$(i686-w64-mingw32-objdump -f -p "$1")
  if grep -q 'file format pei-i386' <<<"$headers"; then
    pass "$2 is a 32-bit program"
  else
    fail "$2 is not a 32-bit program"
  fi
  if grep -Eq 'Subsystem\s+0*2\s' <<<"$headers"; then
    pass "$2 is a GUI program"
  else
    fail "$2 is not a GUI program"
  fi
  # The manifest: common controls 6 and asInvoker, read from the resources; no Wine needed.
  if python3 "$root/tests/windows/check-manifest.py" "$1"; then pass "$2 carries its manifest"; else fail "$2 manifest (reason above)"; fi
}
check_imports "$sim_exe" "simulated tarn-flash-update.exe"

# ---- Wine and the virtual display ----
export WINEPREFIX=$out/wineprefix WINEARCH=win32 WINEDEBUG=-all
# No browser or .NET runtime engine: the program needs neither, and Wine
# would otherwise offer to install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
display=
for n in $(seq 90 140); do
  if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then display=:$n; break; fi
done
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$hardware_exe" 2>/dev/null || true
}
hardware_exe=
trap cleanup EXIT
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
wineboot -i >"$out/wineboot.log" 2>&1
wineserver -w

caption="TARN Flash Update Tool, Rev. 15/53/106/152"
message_caption="TARN Flash Update Tool"
probe() { wine "$probe_exe" "$@" 2>/dev/null | tr -d '\r'; }
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local until=$(($(date +%s) + $1)); shift
  while ! "$@" >/dev/null 2>&1; do
    [[ $(date +%s) -ge $until ]] && return 1
    sleep 0.3
  done
}
window_named() { xdotool search --name "^$1\$" 2>/dev/null | head -1; }
has_window() { [[ -n $(window_named "$1") ]]; }
shoot() {  # shoot NAME [WINDOW TITLE]: the window alone, or the whole screen
  local id=
  [[ $# -gt 1 ]] && id=$(window_named "$2")
  import -window "${id:-root}" "$shots/$1.png" 2>/dev/null || fail "screenshot $1"
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

# ---- The simulated program: three cards, one update to "Success" ----
export TARN_SIM_CARDS="14:pci,100,152"
export TARN_SIM_TRACE=$out/sim-trace.txt
wine "$sim_exe" >"$out/sim-stdout.txt" 2>"$out/sim-stderr.txt" &
sim_pid=$!

if wait_for 60 has_window "$caption"; then
  pass "the card sheet opens, titled \"$caption\" (xdotool)"
else
  fail "the card sheet opens"
fi
report=$(probe sheet "$caption")
echo "$report" >"$out/sheet-at-start.txt"
check "three tabs" "3" "$(sed -n 's/^tabs: //p' <<<"$report")"
check "tab titles" "Card 1|Card 2|Card 3" "$(sed -n 's/^tab [0-9]: //p' <<<"$report" | paste -sd '|')"
check "first tab selected" "0" "$(sed -n 's/^selected: //p' <<<"$report")"
shoot 01-sheet-card1 "$caption"

# Each page as it first shows: revision, verdict, interface choice.
expect_page() {  # expect_page INDEX REVISION STATUS INTERFACE
  probe select "$caption" "$1" >/dev/null
  wait_for 10 bash -c "[[ -n \"\$(wine '$probe_exe' sheet '$caption' 2>/dev/null | grep '^page $1 status')\" ]]"
  check "card $(($1 + 1)) revision" "$2\\n" "$(page_field "$1" revision)"
  check "card $(($1 + 1)) status" "$3" "$(page_field "$1" status)"
  check "card $(($1 + 1)) interface controls" "$4" "$(page_field "$1" interface)"
  check "card $(($1 + 1)) progress bar" "0 (msctls_progress32)" "$(page_field "$1" progress)"
  check "card $(($1 + 1)) button" "Update" "$(page_field "$1" button)"
}
expect_page 0 14 "Not updated" "group visible, PCI visible, CardBus visible"
expect_page 2 152 "Up-to-date" "group hidden, PCI hidden, CardBus hidden"
shoot 02-sheet-card3 "$caption"
# An older card with no interface chosen: the page asks for one and
# updates nothing.
probe select "$caption" 0 >/dev/null
sleep 0.3
click_control "$caption" 0 1 || fail "clicking Update on card 1"
choice_caption="Flash Update Tool"
if wait_for 30 has_window "$choice_caption"; then
  check "card 1 without an interface asks for one" "Please select your interface type (PCI/CardBus)" \
    "$(probe texts "$choice_caption" | sed -n 's/^text: //p' | head -1)"
  shoot 03-card1-choose-interface "$choice_caption"
  click_control "$choice_caption" -1 1 || xdotool key Return
  wait_for 10 bash -c "! xdotool search --name '^$choice_caption\$' >/dev/null 2>&1" ||
    fail "the interface message closes"
else
  fail "card 1 without an interface asks for one"
fi
check "card 1 status after the refused update" "Not updated" "$(page_field 0 status)"

expect_page 1 100 "Not updated" "group hidden, PCI hidden, CardBus hidden"
trace_count() {  # trace_count REGEX: matching lines of the trace (read after the program ends)
  local n
  n=$(tr -d '\r' <"$TARN_SIM_TRACE" 2>/dev/null | grep -Ec "$1" || true)
  echo "${n:-0}"
}

# Click "Update" on card 2 and wait for the verdict.
update_started=$(now_ms)
click_control "$caption" 1 1 || fail "clicking Update"
# Mid-update picture: the page paints its status line and bar as it goes
# (the probe cannot ask now: the page's thread is busy with the update).
sleep 1.5
shoot 04-card2-updating "$caption"
verdict() { page_field 1 status | grep -Eqx 'Success|Failed'; }
wait_for 300 verdict || fail "the update on card 2 ends within 5 minutes"
update_ms=$(($(now_ms) - update_started))
check "card 2 status after Update (click)" "Success" "$(page_field 1 status)"
check "card 2 progress bar after Update" "100 (msctls_progress32)" "$(page_field 1 progress)"
shoot 05-card2-success "$caption"

# Space on the focused button runs it again. The status line and the bar are
# marked first, so only a new update can bring back "Success" and 100.
probe settext "$caption" 1 1002 "marked by the test" || fail "marking the status line"
probe setpos "$caption" 1 1009 7 || fail "marking the progress bar"
check "card 2 status marked" "marked by the test" "$(page_field 1 status)"
xdotool key space
wait_for 300 verdict || fail "Space on Update starts a second update"
check "card 2 status after Update (Space)" "Success" "$(page_field 1 status)"
check "card 2 progress bar after Update (Space)" "100 (msctls_progress32)" "$(page_field 1 progress)"

# Close the sheet with its OK button: the power-off message follows.
click_control "$caption" -1 1 || fail "clicking OK on the sheet"
if wait_for 30 has_window "$message_caption"; then
  pass "the power-off message opens, titled \"$message_caption\" (xdotool)"
  texts=$(probe texts "$message_caption")
  check "power-off message text" \
    "Shut down and power off the computer\\nfor the update to become active." \
    "$(sed -n 's/^text: //p' <<<"$texts" | head -1)"
  shoot 06-power-off-message "$message_caption"
  has_window "$caption" && fail "the sheet is gone when the message shows" || pass "the sheet is gone when the message shows"
  click_control "$message_caption" -1 1 || xdotool key Return
else
  fail "the power-off message opens"
fi
exited() { ! kill -0 "$sim_pid" 2>/dev/null; }
if wait_for 30 exited; then
  wait "$sim_pid"
  check "the simulated program's exit code" "0" "$?"
else
  fail "the simulated program ends after the message"
  kill "$sim_pid" 2>/dev/null
fi

# The program's own trace (complete once it has ended): two updates, each
# going to 100, through the card's registers; the refused one left no trace.
if [[ -s $TARN_SIM_TRACE ]]; then
  pass "the simulated driver wrote its trace"
  check "trace: two updates reached 100" "2" "$(trace_count '^P 100$')"
  check "trace: the last progress position is 100" "P 100" "$(tr -d '\r' <"$TARN_SIM_TRACE" | grep '^P ' | tail -1)"
  check "trace: lines end in a bare newline, as on Linux" "0" "$(grep -c $'\r' "$TARN_SIM_TRACE" || true)"
  [[ $(trace_count '^[WR] ') -gt 0 ]] && pass "trace: the updates used the card's registers" ||
    fail "trace: the updates used the card's registers"
else
  fail "the simulated driver wrote its trace"
fi

# ---- Six cards, closed without an update: six tabs, no message ----
export TARN_SIM_CARDS="20,60,110,152,14:cardbus,53"
export TARN_SIM_TRACE=$out/sim6-trace.txt
wine "$sim_exe" >"$out/sim6-stdout.txt" 2>"$out/sim6-stderr.txt" &
sim_pid=$!
if wait_for 60 has_window "$caption"; then
  report=$(probe sheet "$caption")
  check "six cards: six tabs" "6" "$(sed -n 's/^tabs: //p' <<<"$report")"
  check "six cards: tab titles in card order" "Card 1|Card 2|Card 3|Card 4|Card 5|Card 6" \
    "$(sed -n 's/^tab [0-9]: //p' <<<"$report" | paste -sd '|')"
  expect_page 5 53 "Up-to-date" "group visible, PCI visible, CardBus visible"
  shoot 07-six-cards "$caption"
  click_control "$caption" -1 2 || fail "clicking Cancel on the sheet"
  if wait_for 30 exited; then
    wait "$sim_pid"
    check "six cards: exit code after closing without an update" "0" "$?"
  else
    fail "six cards: the program ends when the sheet is closed"
    kill "$sim_pid" 2>/dev/null
  fi
  check "six cards: no power-off message without an update" "" "$(window_named "$message_caption")"
else
  fail "six cards: the card sheet opens"
  kill "$sim_pid" 2>/dev/null
fi

# ---- An older card through its JTAG chain: choose PCI, update ----
export TARN_SIM_CARDS="14:pci"
export TARN_SIM_TRACE=$out/sim-jtag-trace.txt
wine "$sim_exe" >"$out/sim-jtag-stdout.txt" 2>"$out/sim-jtag-stderr.txt" &
sim_pid=$!
if wait_for 60 has_window "$caption"; then
  click_control "$caption" 0 1010 || fail "clicking PCI"
  sleep 0.3
  click_control "$caption" 0 1 || fail "clicking Update on the older card"
  sleep 2
  shoot 08-jtag-updating "$caption"
  jtag_verdict() { page_field 0 status | grep -Eqx 'Success|Failed'; }
  wait_for 300 jtag_verdict || fail "the chain update ends within 5 minutes"
  check "older card: status after the chain update" "Success" "$(page_field 0 status)"
  check "older card: progress bar after the chain update" "100 (msctls_progress32)" "$(page_field 0 progress)"
  shoot 09-jtag-success "$caption"
  click_control "$caption" -1 1 || fail "clicking OK on the sheet"
  if wait_for 30 has_window "$message_caption"; then
    pass "older card: the power-off message opens"
    click_control "$message_caption" -1 1 || xdotool key Return
  else
    fail "older card: the power-off message opens"
  fi
  if wait_for 30 exited; then
    wait "$sim_pid"
    check "older card: exit code" "0" "$?"
  else
    fail "older card: the program ends after the message"
    kill "$sim_pid" 2>/dev/null
  fi
  # The play ends by handing the chain back: the last port write is 16.
  check "older card trace: the last JTAG port write is 16" "W 0100 00000010" \
    "$(tr -d '\r' <"$TARN_SIM_TRACE" | grep '^W 0100 ' | tail -1)"
else
  fail "older card: the card sheet opens"
  kill "$sim_pid" 2>/dev/null
fi

# ---- The program for real cards: built against a made-up firmware folder ----
firmware=$out/test-firmware
python3 "$root/tests/windows/make-test-firmware.py" "$firmware"
hardware_exe=$root/build/windows-hardware/tools/tarn-flash-update/tarn-flash-update.exe
if TARN_FIRMWARE_DIR=$firmware cmake --preset windows-hardware >"$out/configure-hardware.log" 2>&1 &&
   cmake --build --preset windows-hardware -j2 >"$out/build-hardware.log" 2>&1; then
  pass "windows-hardware builds against a firmware folder the check accepts"
  check_imports "$hardware_exe" "hardware tarn-flash-update.exe"
  # No driver under Wine: the program ends at once, silently, with 0.
  t0=$(now_ms)
  timeout 60 wine "$hardware_exe" >"$out/hardware-stdout.txt" 2>&1 &
  hw_pid=$!
  seen=
  while kill -0 "$hw_pid" 2>/dev/null; do
    has_window "$caption" && seen=sheet
    has_window "$message_caption" && seen=message
    sleep 0.1
  done
  wait "$hw_pid"
  check "with no driver the program exits" "0" "$?"
  check "with no driver no window shows" "" "$seen"
  echo "no-driver run took $(($(now_ms) - t0)) ms"
else
  tail -30 "$out"/*-hardware.log
  fail "windows-hardware builds"
fi
# Firmware that is not the card's never leaves this run inside an .exe.
rm -f "$hardware_exe"
rm -rf "$firmware"

# Stand-in firmware never goes into the program for real cards: not without
# a firmware folder, and not from a folder of stand-ins.
if TARN_FIRMWARE_DIR= cmake --preset windows-hardware >"$out/configure-hardware-empty.log" 2>&1; then
  fail "windows-hardware refuses to configure without a firmware folder"
else
  pass "windows-hardware refuses to configure without a firmware folder"
fi
stand_ins=$out/stand-in-firmware
mkdir -p "$stand_ins"
cp "$root"/build/windows-sim/payloads/data/*.bin "$stand_ins"/
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
rm -f "$hardware_exe"

# And the hardware entry point itself does not compile against stand-ins.
if i686-w64-mingw32-g++-posix -std=c++20 -I"$root" -I"$root/build/windows-sim/generated" -fsyntax-only \
    "$root/tools/tarn-flash-update/windows_program_hardware.cpp" >"$out/compile-hardware-stand-ins.log" 2>&1; then
  fail "the hardware entry point refuses stand-in payloads at compile time"
elif grep -q 'needs real firmware' "$out/compile-hardware-stand-ins.log"; then
  pass "the hardware entry point refuses stand-in payloads at compile time"
else
  fail "the hardware entry point fails to compile against stand-ins, but not for being stand-ins"
fi

echo "update on card 2 took ${update_ms:-?} ms under Wine (click to verdict)"
finish

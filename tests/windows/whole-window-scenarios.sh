# The Windows program as an owner sees it, sourced by run-wine-tests.sh:
# whole windows with frame, caption and icon; the sheet at 96 and 144 DPI;
# and the checks of the resource and import checks, each fault made once.
# Uses the runner's helpers (pass, fail, check, shoot, probe, start_program,
# end_program, click_control, wine_run) and its settings ($mode, $caption).

# Wine draws each window's frame and caption itself, as Windows does, instead
# of leaving them to a window manager, which the virtual display does not
# have: screenshots of a window then show all of it. The caption's buttons are
# glyphs of Wine's Marlett font, which this Wine does not find in its own
# folder: the prefix's font folder gets it (fonts-wine). Only it: with Wine's
# Tahoma there too, the sheet would size its pages in Tahoma while they lay
# out in MS Sans Serif, a pairing no Windows has (98 and 2000 use MS Sans
# Serif for both, XP and later its TrueType twin). Set once per prefix, before
# any window opens.
wine_draws_frames() {
  if wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >"$out/$mode-frames-reg.log" 2>&1; then
    wine_idle "the frame setting"
  else
    fail "$mode: asking Wine to draw the window frames: $(first_wine_error "$out/$mode-frames-reg.log")"
  fi
  ln -sf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null ||
    fail "$mode: Wine's Marlett font for the prefix (fonts-wine): not in /usr/share/wine/fonts"
}

# The icons the sheet hands to the desktop (taskbar, Alt-Tab), as sizes.
window_icon_sizes() {  # window_icon_sizes TITLE
  xprop -id "$(window_named "$1")" _NET_WM_ICON 2>/dev/null |
    grep -o 'Icon ([0-9]* x [0-9]*)' | tr -d '() ' | sed 's/^Icon//' | sort -n | paste -sd ' '
}

# The sheet at one resolution: every page's text inside its control, every
# control inside the page, the screenshot the whole window. Leaves the size of
# the Update button (the page's scale) in button_size.
button_size=
sheet_at_dpi() {  # sheet_at_dpi DPI
  local dpi=$1 s=dpi-$1 report page size
  button_size=
  wine_run reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f \
    >"$out/$mode-$s-reg.log" 2>&1 ||
    { fail "$mode $s: setting Wine's LogPixels: $(first_wine_error "$out/$mode-$s-reg.log")"; return 1; }
  wine_idle "the DPI setting"
  export TARN_SIM_CARDS="14:pci,100,152"
  unset TARN_SIM_TRACE
  start_program "$s" || return 1
  for page in 0 1; do
    probe select "$caption" "$page" >/dev/null
    wait_running 10 page_shown "$page"
    report=$(probe fit "$caption" "$page")
    echo "$report" >"$out/$mode-$s-page$page-fit.txt"
    check "$mode $s: the screen's resolution" "$dpi" "$(sed -n 's/^dpi: //p' <<<"$report")"
    check "$mode $s: card $((page + 1)): every text inside its control, every control inside the page" \
      "0" "$(sed -n 's/^over: //p' <<<"$report")"
    grep -E 'OVER|OUTSIDE' <<<"$report"
  done
  probe select "$caption" 0 >/dev/null
  sleep 0.3
  shoot "20-sheet-dpi-$dpi" "the whole sheet at $dpi DPI, card 1" "$caption"
  # The screenshot is the whole window: frame and caption, not the client area alone.
  size=$(identify -format '%wx%h' "$shots/$mode-20-sheet-dpi-$dpi.png" 2>/dev/null)
  check "$mode $s: the screenshot is the whole window, frame and caption" \
    "$(sed -n 's/^window: //p' <<<"$report")" "$size"
  # The system's icon sizes grow with the resolution: 16 and 32 pixels at 96 DPI.
  local small=$((16 * dpi / 96)) big=$((32 * dpi / 96))
  check "$mode $s: the sheet's icons for caption and Alt-Tab" "${small}x$small ${big}x$big" \
    "$(window_icon_sizes "$caption")"
  click_control "$caption" -1 2 || fail "$mode $s: clicking Cancel on the sheet"
  end_program "$s"
  button_size=$(sed -n 's/^place 1 Button: \([0-9]*\)x\([0-9]*\) .*/\1 \2/p' "$out/$mode-$s-page0-fit.txt")
}

scenario_dpi() {
  local at96 at144
  phase "$mode: scenario dpi (96 and 144)"
  sheet_at_dpi 96
  at96=$button_size
  sheet_at_dpi 144
  at144=$button_size
  wine_run reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
  wine_idle "the DPI reset"
  # Declared DPI-aware, the program lays its pages out at the screen's
  # resolution: the Update button is about half as big again at 144 as at 96.
  if [[ -n $at96 && -n $at144 ]]; then
    check "$mode dpi: the page scales with the resolution (Update button $at96 at 96, $at144 at 144)" "1.3 to 1.7" \
      "$(awk -v a="$at96" -v b="$at144" 'BEGIN { split(a, x); split(b, y); w = y[1] / x[1]; h = y[2] / x[2]
         print (w >= 1.3 && w <= 1.7 && h >= 1.3 && h <= 1.7) ? "1.3 to 1.7" : sprintf("%.2f and %.2f", w, h) }')"
  fi
}

# The program's icon as read back from its resources, each image as a
# picture, and all six four times their size on the dialog grey.
save_icon_pictures() {  # save_icon_pictures EXE
  local ico=$out/program-icon.ico i name names=()
  /usr/bin/python3 "$root/tests/windows/check-manifest.py" --flavour sim --version "$project_version" \
    --icon-file "$ico" "$1" >/dev/null 2>&1 || return 0  # check_program has said why
  for i in 0 1 2 3 4 5; do
    name=icon-$(identify -format '%wx%h-%zbit' "$ico[$i]" 2>/dev/null).png
    convert "$ico[$i]" "$shots/$name" 2>/dev/null && names+=("$shots/$name") &&
      shot_notes+=("$name: the program's icon, read back from the 32-bit program")
  done
  convert "${names[@]}" -scale 400% -background '#c0c0c0' -gravity south +append \
    "$shots/icon-all-x4.png" 2>/dev/null && shot_notes+=("icon-all-x4.png: the six images, four times their size")
}

# The checks of the resource and import checks: each fault put into a copy of
# a built 32-bit program must be refused, for the reason named.
check_resource_checks() {  # check_resource_checks SIM-EXE HARDWARE-EXE VERSION
  local sim=$1 hardware=$2 version=$3 row fault reason faulty result
  local faults=(
    "no-manifest|no resource type 24 (RT_MANIFEST)"
    "wrong-architecture|the program is amd64"
    "no-dpi-aware|0 dpiAware elements"
    "no-version|no resource type 16 (RT_VERSION)"
    "other-version|the fixed file version is"
    "not-private|not marked a private build"
    "no-icon|no icon group"
    "icon-size-missing|lacks 48x48 8-bit"
  )
  phase "check of the resource and import checks"
  for row in "${faults[@]}"; do
    fault=${row%%|*} reason=${row#*|}
    faulty=$out/faulty-$fault.exe
    if ! /usr/bin/python3 "$root/tests/windows/make-faulty-program.py" "$sim" "$faulty" "$fault" 2>"$out/faulty-$fault.log"; then
      fail "making a program with the fault $fault: $(head -1 "$out/faulty-$fault.log")"
      continue
    fi
    result=$(/usr/bin/python3 "$root/tests/windows/check-manifest.py" --flavour sim --version "$version" "$faulty" 2>&1)
    if [[ $? -eq 1 && $result == *"$reason"* ]]; then
      pass "the resource check refuses $fault: ${result#*.exe: }"
    else
      fail "the resource check should refuse $fault ($reason): $result"
    fi
    rm -f "$faulty"
  done
  # Each flavour's word: neither program passes for the other.
  result=$(/usr/bin/python3 "$root/tests/windows/check-manifest.py" --flavour hardware --version "$version" "$sim" 2>&1)
  [[ $? -eq 1 && $result == *"does not say 'real cards'"* ]] &&
    pass "the resource check refuses the simulated program as the one for real cards" ||
    fail "the resource check should refuse the simulated program as the one for real cards: $result"
  if [[ -f $hardware ]]; then
    result=$(/usr/bin/python3 "$root/tests/windows/check-manifest.py" --flavour sim --version "$version" "$hardware" 2>&1)
    [[ $? -eq 1 && $result == *"does not say 'simulated cards'"* ]] &&
      pass "the resource check refuses the program for real cards as the simulated one" ||
      fail "the resource check should refuse the program for real cards as the simulated one: $result"
  fi
  # The import check: a header asking for Windows 2000 (5.0) is refused.
  faulty=$out/faulty-os-version.exe
  /usr/bin/python3 "$root/tests/windows/make-faulty-program.py" "$sim" "$faulty" os-version-5.0
  result=$(bash "$root/tests/windows/check-imports.sh" "$faulty" 2>&1)
  check "the import check refuses a header asking for system 5.0" \
    "1 header asks for too new a system: MajorOSystemVersion 5.0 (at most 4.0)" "$? $result"
  rm -f "$faulty"
}

# The simulated program's own message, for a machine setting it cannot read:
# the whole box, and exit status 2.
scenario_settings_message() {
  local s=settings-message title="TARN Flash Update Tool (simulated)"
  # xdotool matches window names as regular expressions.
  local title_pattern="TARN Flash Update Tool \\(simulated\\)"
  phase "$mode: scenario $s"
  scenario_label="$mode $s"
  app_log=$out/$mode-$s-stderr.txt
  TARN_SIM_CARDS="14:usb" wine_run "$sim_exe" >"$out/$mode-$s-stdout.txt" 2>"$app_log" &
  app_pid=$!
  if wait_running 60 has_window "$title_pattern"; then
    check "$mode $s: the message names the setting" \
      "Simulation settings: TARN_SIM_CARDS: interface 'usb' is neither pci nor cardbus" \
      "$(probe texts "$title" | sed -n 's/^text: //p' | head -1)"
    shoot 21-settings-message "the simulated program's message for a setting it cannot read" "$title_pattern"
    dismiss_message "$title"
    if wait_for 30 app_ended; then
      wait "$app_pid"
      check "$mode $s: exit code" "2" "$?"
    else
      fail "$mode $s: the program ends"
      kill "$app_pid" 2>/dev/null
    fi
  elif [[ $? -eq 1 ]]; then
    fail "$mode $s: the message opens within 60 s"
    kill "$app_pid" 2>/dev/null
  fi
}

# The sheet while it is busy: clicks and keys made during an update, and
# presses made under the interface message. Neither may start an update.
#
# Sourced by run-wine-tests.sh once Wine, the display and the simulated
# program are ready; call busy_sheet_scenarios. It uses the runner's
# variables (mode, out, caption, message_caption, choice_caption) and helpers
# (start_program, end_program, click_control, dismiss_message, trace_count,
# pass, fail, check, wait_for, wait_running, wait_verdict, has_window,
# probe, page_field, shoot), and leaves TARN_SIM_CARDS and TARN_SIM_TRACE
# set to its last run.

busy_sheet_scenarios() {
  local s point verdict_seen

  # ---- Update clicked again, and Space and Enter, while an update runs ----
  s=busy-update
  export TARN_SIM_CARDS="100,152"
  export TARN_SIM_TRACE=$out/$mode-sim-busy-update-trace.txt
  start_program "$s" || return
  # Found before the update: the page cannot answer the probe while it runs.
  point=$(probe point "$caption" 0 1) || { fail "$mode $s: finding Update"; return; }
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
  sleep 0.3
  verdict_seen=$(page_field 0 status 2>/dev/null | grep -Ex 'Success|Failed' || true)
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
  xdotool key space Return
  shoot 11-busy-update-clicked-again "the sheet after Update clicked again, Space and Enter during an update" "$caption"
  if ! wait_verdict 0; then
    [[ $? -eq 2 ]] && return
    fail "$mode $s: the update ends within 5 minutes"
  fi
  check "$mode $s: status" "Success" "$(page_field 0 status)"
  # Anything replayed would start a second update now: give it the time to
  # show, then look at the status line and the trace.
  probe settext "$caption" 0 1002 "marked by the test" || fail "$mode $s: marking the status"
  sleep 3
  check "$mode $s: no second update after the first" "marked by the test" "$(page_field 0 status)"
  has_window "$caption" && pass "$mode $s: the sheet stays open" || fail "$mode $s: the sheet stays open"
  click_control "$caption" -1 1 || fail "$mode $s: clicking OK on the sheet"
  if wait_running 30 has_window "$message_caption"; then
    dismiss_message "$message_caption"
  else
    fail "$mode $s: the power-off message opens"
  fi
  end_program "$s"
  if [[ -n $verdict_seen ]]; then
    fail "$mode $s: the update had ended before the second click (inconclusive)"
  fi
  check "$mode $s: trace shows one erase of bank 0" "1" "$(trace_count '^T Erasing sector 0\.\.\.$')"

  # ---- Under the interface message: another card's Update, and the same ----
  # Card 2 is an older card that is not up to date (14: below the 15 of its
  # family), so its Update asks for the interface.
  s=busy-message
  export TARN_SIM_CARDS="152,14"
  export TARN_SIM_TRACE=$out/$mode-sim-busy-message-trace.txt
  start_program "$s" || return
  probe select "$caption" 1 >/dev/null
  sleep 0.5
  point=$(probe point "$caption" 1 1) || { fail "$mode $s: finding card 2's Update"; return; }
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
  if wait_running 30 has_window "$choice_caption"; then
    # Under the message: Ctrl+PgUp toward card 1's tab, card 2's Update
    # clicked again. The sheet is disabled and takes none.
    xdotool key ctrl+Prior
    # shellcheck disable=SC2086
    xdotool mousemove $point click 1
    sleep 2
    shoot 12-busy-message-clicked-under "the interface message after presses made under it" "$choice_caption"
    check "$mode $s: one interface message, none stacked" "1" \
      "$(xdotool search --name "^$choice_caption\$" 2>/dev/null | wc -l)"
    # Space now goes to the message, whose OK button has the focus: it is the
    # message's own answer, so it comes after the count.
    xdotool key space
    wait_for 5 bash -c "! xdotool search --name '^$choice_caption\$' >/dev/null 2>&1" ||
      dismiss_message "$choice_caption"
    wait_for 10 bash -c "! xdotool search --name '^$choice_caption\$' >/dev/null 2>&1" ||
      fail "$mode $s: the interface message closes"
  else
    fail "$mode $s: card 2 without an interface asks for one"
  fi
  check "$mode $s: card 2 status" "Not updated" "$(page_field 1 status)"
  check "$mode $s: card 1 status" "Up-to-date" "$(page_field 0 status)"
  click_control "$caption" -1 1 || fail "$mode $s: clicking OK on the sheet"
  end_program "$s"
  check "$mode $s: no card's registers touched" "0" "$(trace_count '^[WR] ')"
}

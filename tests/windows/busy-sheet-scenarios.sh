# The sheet while it is busy: clicks and keys made during an update, and
# presses made under the interface message. Neither may start an update.
#
# Sourced by run-wine-tests.sh once Wine, the display and the simulated
# program are ready; call busy_sheet_scenarios. It uses the runner's
# variables (sim_exe, out, caption, message_caption, probe_exe) and helpers
# (pass, fail, check, wait_for, has_window, window_named, probe, page_field,
# shoot), and leaves TARN_SIM_CARDS and TARN_SIM_TRACE set to its last run.

# busy_trace_count FILE REGEX: matching lines of a finished trace.
busy_trace_count() {
  local n
  n=$(tr -d '\r' <"$1" 2>/dev/null | grep -Ec "$2" || true)
  echo "${n:-0}"
}

# busy_end_program PID LABEL MESSAGE: closes the sheet with OK, dismisses the
# power-off message when MESSAGE is "message", and waits for the program to end.
busy_end_program() {
  local pid=$1 label=$2 point
  # shellcheck disable=SC2086
  point=$(probe point "$caption" -1 1) && xdotool mousemove $point click 1 ||
    fail "$label: clicking OK on the sheet"
  if [[ $3 == message ]]; then
    if wait_for 30 has_window "$message_caption"; then
      # shellcheck disable=SC2086
      point=$(probe point "$message_caption" -1 1) && xdotool mousemove $point click 1 ||
        xdotool key Return
    else
      fail "$label: the power-off message opens"
    fi
  fi
  local until=$(($(date +%s) + 30))
  while kill -0 "$pid" 2>/dev/null && [[ $(date +%s) -lt $until ]]; do sleep 0.3; done
  if kill -0 "$pid" 2>/dev/null; then
    fail "$label: the program ends"
    kill "$pid" 2>/dev/null
  else
    wait "$pid"
    check "$label: exit code" "0" "$?"
  fi
}

busy_sheet_scenarios() {
  local pid point verdict_seen

  # ---- Update clicked again, and Space and Enter, while an update runs ----
  export TARN_SIM_CARDS="100,152"
  export TARN_SIM_TRACE=$out/sim-busy-update-trace.txt
  wine "$sim_exe" >"$out/sim-busy-update-stdout.txt" 2>"$out/sim-busy-update-stderr.txt" &
  pid=$!
  if ! wait_for 60 has_window "$caption"; then
    fail "busy update: the card sheet opens"
    kill "$pid" 2>/dev/null
    return
  fi
  # Found before the update: the page cannot answer the probe while it runs.
  point=$(probe point "$caption" 0 1) || { fail "busy update: finding Update"; return; }
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
  sleep 0.3
  verdict_seen=$(page_field 0 status 2>/dev/null | grep -Ex 'Success|Failed' || true)
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
  xdotool key space Return
  shoot 10-busy-update-clicked-again "$caption"
  busy_verdict() { page_field 0 status | grep -Eqx 'Success|Failed'; }
  wait_for 300 busy_verdict || fail "busy update: the update ends within 5 minutes"
  check "busy update: status" "Success" "$(page_field 0 status)"
  # Anything replayed would start a second update now: give it the time to
  # show, then look at the status line and the trace.
  probe settext "$caption" 0 1002 "marked by the test" || fail "busy update: marking the status"
  sleep 3
  check "busy update: no second update after the first" "marked by the test" \
    "$(page_field 0 status)"
  has_window "$caption" && pass "busy update: the sheet stays open" ||
    fail "busy update: the sheet stays open"
  busy_end_program "$pid" "busy update" message
  if [[ -n $verdict_seen ]]; then
    fail "busy update: the update had ended before the second click (inconclusive)"
  fi
  check "busy update: trace shows one erase of bank 0" "1" \
    "$(busy_trace_count "$TARN_SIM_TRACE" '^T Erasing sector 0\.\.\.$')"

  # ---- Under the interface message: another card's Update, and the same ----
  export TARN_SIM_CARDS="152,60"
  export TARN_SIM_TRACE=$out/sim-busy-message-trace.txt
  wine "$sim_exe" >"$out/sim-busy-message-stdout.txt" 2>"$out/sim-busy-message-stderr.txt" &
  pid=$!
  if ! wait_for 60 has_window "$caption"; then
    fail "busy message: the card sheet opens"
    kill "$pid" 2>/dev/null
    return
  fi
  local choice_caption="Flash Update Tool"
  probe select "$caption" 1 >/dev/null
  sleep 0.5
  point=$(probe point "$caption" 1 1) || { fail "busy message: finding card 2's Update"; return; }
  # shellcheck disable=SC2086
  xdotool mousemove $point click 1
  if wait_for 30 has_window "$choice_caption"; then
    # Under the message: Ctrl+PgUp toward card 1's tab, card 2's Update
    # clicked again, Space on it. The sheet is disabled and takes none.
    xdotool key ctrl+Prior
    # shellcheck disable=SC2086
    xdotool mousemove $point click 1
    xdotool key space
    sleep 2
    shoot 11-busy-message-clicked-under "$choice_caption"
    local boxes
    boxes=$(xdotool search --name "^$choice_caption\$" 2>/dev/null | wc -l)
    check "busy message: one interface message, none stacked" "1" "$boxes"
    point=$(probe point "$choice_caption" -1 1) && xdotool mousemove $point click 1 ||
      xdotool key Return
    wait_for 10 bash -c "! xdotool search --name '^$choice_caption\$' >/dev/null 2>&1" ||
      fail "busy message: the interface message closes"
  else
    fail "busy message: card 2 without an interface asks for one"
  fi
  check "busy message: card 2 status" "Not updated" "$(page_field 1 status)"
  check "busy message: card 1 status" "Up-to-date" "$(page_field 0 status)"
  busy_end_program "$pid" "busy message" none
  check "busy message: no card's registers touched" "0" \
    "$(busy_trace_count "$TARN_SIM_TRACE" '^[WR] ')"
}

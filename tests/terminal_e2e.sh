#!/usr/bin/env bash
# The real program in a real terminal: tmux runs tarn-flash-update on two
# simulated flash cards, the keys are typed as a person would, and the
# screen is read back after each step. A second start on the kept card state
# must show the updated card as up to date.
#   usage: terminal_e2e.sh PATH/TO/tarn-flash-update
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
socket="tarn-e2e-$$"
tmux_() { tmux -L "$socket" -f /dev/null "$@"; }
cleanup() {
  tmux_ kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The screen as it stands, with what scrolled off it (a program that ended
# leaves its last words above tmux's note that the pane is dead).
fail() {
  echo "FAIL: $*" >&2
  echo "--- screen:" >&2
  tmux_ capture-pane -p -S -100 -t tool 2>/dev/null | cat -s >&2 || cat "$work/screen" >&2 || true
  exit 1
}
screen() { tmux_ capture-pane -p -t tool >"$work/screen" 2>/dev/null || true; }
# still_going WHAT: stop at once when the screen already shows the failure,
# the sheet has closed (its closing message shows) or the program has ended,
# while WHAT is awaited.
still_going() {
  if grep -qF -- "Failed" "$work/screen"; then fail "'Failed' shown while waiting for $1"; fi
  if grep -qF -- "Shut down and power off" "$work/screen"; then
    fail "the sheet closed while waiting for $1"
  fi
  if [ -s "$work/exit" ]; then
    fail "the program ended with exit code $(cat "$work/exit") while waiting for $1"
  fi
}
# wait_for TEXT SECONDS: poll the screen until TEXT shows.
wait_for() {
  local deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do
    screen
    grep -qF -- "$1" "$work/screen" && return 0
    still_going "'$1'"
    sleep 0.1
  done
  fail "'$1' not shown within $2 s"
}
# wait_for_revision N: the page's revision line reads N.
wait_for_revision() {
  local deadline=$((SECONDS + 5))
  while ((SECONDS < deadline)); do
    screen
    grep -qE -- "Hardware Revision +$1( |\$)" "$work/screen" && return 0
    still_going "revision $1"
    sleep 0.1
  done
  fail "revision $1 not shown"
}
shows() { grep -qF -- "$1" "$work/screen" || fail "'$1' not on the screen"; }
absent() { ! grep -qF -- "$1" "$work/screen" || fail "'$1' should not be on the screen"; }
keys() { tmux_ send-keys -t tool "$@"; }
# click_on TEXT: a left click (press and release, xterm encoding) on the first
# character of TEXT where it first shows on the screen.
click_on() {
  local at line column
  at=$(grep -nF -- "$1" "$work/screen" | head -n 1) || fail "'$1' not on the screen to click"
  line=$((${at%%:*} - 1))
  column=$(($(awk -v n=$((line + 1)) -v t="$1" 'NR == n { print index($0, t) }' "$work/screen") - 1))
  local x y
  x=$(printf "\\$(printf '%03o' $((33 + column)))")
  y=$(printf "\\$(printf '%03o' $((33 + line)))")
  tmux_ send-keys -t tool -l $'\e[M '"$x$y"
  tmux_ send-keys -t tool -l $'\e[M#'"$x$y"
}

# The pane stays when the program ends, so its last screen (and anything it
# wrote on the way out) can still be read.
start_tool() {
  rm -f "$work/exit"
  tmux_ kill-session -t tool 2>/dev/null || true
  tmux_ new-session -d -s tool -x 80 -y 24 \
    "env TERM=screen TARN_SIM_CARDS=60:pci,100 TARN_SIM_ERASE_MS=20 \
     TARN_SIM_STATE='$work/cards.state' TARN_SIM_TRACE='$work/trace' '$program'; \
     echo \$? >'$work/exit'" \; set-option -t tool remain-on-exit on
}
wait_exit() {
  local deadline=$((SECONDS + 10))
  while ((SECONDS < deadline)); do
    [ -s "$work/exit" ] && break
    sleep 0.1
  done
  [ -s "$work/exit" ] || fail "the program did not end"
  [ "$(cat "$work/exit")" = 0 ] || fail "exit code $(cat "$work/exit")"
}

# --- first start: the sheet as it opens
start_tool
wait_for "TARN Flash Update Tool, Rev. 15/53/106/152" 20
wait_for "Up-to-date" 5
shows "Card 1"
shows "Card 2"
absent "Card 3"
shows "Hardware Revision"
shows "Programming Status"
wait_for_revision 60
shows "Interface"
shows "( ) PCI"
shows "( ) CardBus"
shows "Update"

# --- the mouse checks a radio button; an arrow moves within the group
click_on "CardBus"
wait_for "(*) CardBus" 5
shows "( ) PCI"
keys Up
wait_for "(*) PCI" 5
shows "( ) CardBus"

# --- a terminal too small for the page shows a note; enlarged, the page is back
tmux_ resize-window -t tool -x 40 -y 10
wait_for "too small" 5
absent "Hardware Revision"
tmux_ resize-window -t tool -x 80 -y 24
wait_for "Hardware Revision" 5
shows "(*) PCI"

# --- card 2: revision 100 needs no interface choice
keys Right
wait_for_revision 100
shows "Not updated"
absent "Interface"
absent "PCI"

# --- Update: the bar runs to 100 and the status ends in Success. Enter and
# `q` typed while it runs are thrown away when it ends: no second update, and
# the sheet stays open with the result on it.
started=$(date +%s%N)
keys Enter
wait_for "Programming..." 60
keys Enter
keys q
screen
absent "Success"  # the keys went in while the update ran
wait_for "Success" 120
ended=$(date +%s%N)
grep -qE '\[#{42}\]' "$work/screen" || fail "the progress bar is not full"
echo "update of the revision-100 card: $(((ended - started) / 1000000)) ms (screen polled every 100 ms)"
sleep 1
screen
shows "TARN Flash Update Tool, Rev. 15/53/106/152"
shows "Success"
absent "Shut down and power off the computer"
erases=$(grep -cxF 'T Erasing sector 0...' "$work/trace" || true)
[ "$erases" = 1 ] || fail "bank 0 erased $erases times: the typed Enter ran the update again"

# --- close: the power-off message, then the program ends with 0
keys q
wait_for "Shut down and power off the computer" 5
shows "for the update to become active."
shows "TARN Flash Update Tool"
shows "OK"
keys Enter
wait_exit

# --- second start: the card keeps its new firmware and reports 106
start_tool
wait_for "TARN Flash Update Tool, Rev. 15/53/106/152" 20
keys 2
wait_for_revision 106
shows "Up-to-date"
keys Escape
wait_exit
echo "terminal end-to-end: passed"

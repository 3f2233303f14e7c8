#!/usr/bin/env bash
# End to end: "reviri panel" in a tmux session against the built-in simulated
# modem. Presses "connnect", "unicode" and "read delivery sms" with the keys a
# person would use and reads the screen after each step.
# Usage: panel_tmux.sh <path to reviri>
set -euo pipefail
reviri=$1
session="reviri-panel-test-$$"
socket="reviri-panel-test-$$"
tm() { tmux -L "$socket" "$@"; }
cleanup() { tm kill-server 2>/dev/null || true; }
trap cleanup EXIT

screen() { tm capture-pane -p -t "$session"; }
# Waits (up to 15 s) until the screen shows the fixed string $1.
await() {
  for _ in $(seq 150); do
    if screen | grep -qF -- "$1"; then return 0; fi
    sleep 0.1
  done
  echo "timed out waiting for: $1" >&2
  echo "---- screen ----" >&2
  screen >&2
  return 1
}
keys() { tm send-keys -t "$session" "$@"; }
press() { for _ in $(seq "$1"); do keys "$2"; done; }

export LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=xterm-256color
tm new-session -d -s "$session" -x 110 -y 30 \
  "'$reviri' panel --timeout 5; echo \"panel exited: \$?\"; sleep 30"
await "Tab/Shift-Tab move"
await "simulated modem on"

# Focus starts at Text9 (tab index 0), whose text can be edited in place.
press 7 BSpace
keys -l "edited by hand"
await "edited by hand"

# "connnect" is tab index 4.
press 4 Tab
await "Command6: open the port"
keys Enter
await "[ OK ]"
screen | grep -qE "(│|[|x]) OK +(│|[|x])" || { echo "connect did not say OK" >&2; screen >&2; exit 1; }
keys Enter

# "unicode" (tab index 17) sends Text2 to Text1, the simulator's own number;
# Text3 shows the answers.
press 13 Tab
await "Command1: send Text2"
keys Enter
await "+CMGS: "

# The message comes back to the simulator as received message 1, which
# "read delivery sms" (tab index 14) reads with Text4's index 1.
sleep 1
press 3 BTab
await "Command2: read and show"
keys Enter
await "[ OK ]"
screen | grep -q "好好好>4915112345678>" || { echo "read delivery sms did not show the message" >&2; screen >&2; exit 1; }
keys Enter

keys F10
await "panel exited: 0"
echo "panel end to end: ok"

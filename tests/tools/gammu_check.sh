#!/usr/bin/env bash
# Checks the simulated modem against a client nobody here wrote: Debian's
# gammu identifies it, reads its network registration, sends a 7-bit and a
# UCS2 message to the modem's own number, and reads both back (the simulator
# returns messages sent to its own number as incoming ones). Fails when gammu
# fails or reads back other text.
set -euo pipefail
export LC_ALL=C.UTF-8  # gammu prints the texts in the locale's encoding
reviri=$1
gammu=${2:-gammu}
dir=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

"$reviri" sim --symlink "$dir/modem" --seconds 240 >"$dir/sim.out" 2>"$dir/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -L "$dir/modem" ] && break; sleep 0.1; done
[ -L "$dir/modem" ] || { echo "simulator did not start"; cat "$dir/sim.err"; exit 1; }

cat >"$dir/gammurc" <<CONF
[gammu]
device = $dir/modem
connection = at
logformat = textall
logfile = $dir/gammu.log
CONF

run() {
  echo "+ gammu $*"
  if ! timeout 90 "$gammu" -c "$dir/gammurc" "$@" >"$dir/last.out" 2>&1; then
    cat "$dir/last.out"
    echo "--- gammu log (tail)"; tail -n 60 "$dir/gammu.log"
    exit 1
  fi
  cat "$dir/last.out"
}
expect() {
  grep -qF -- "$1" "$dir/last.out" || { echo "expected in gammu's output: $1"; exit 1; }
}

own=+4915112345678
plain='Hello from gammu @ {x} €'
unicode='Grüße ✓ Привет'

run identify
expect 'Reviri'
expect '490154203237518'
run networkinfo  # what gammu-smsd asks before each message
expect 'Network state        : home network'
expect 'LAC 00C3, CID 1A2B'
expect 'GPRS                 : attached'
run sendsms TEXT "$own" -text "$plain"
expect 'message reference=1'
run sendsms TEXT "$own" -unicode -text "$unicode"
expect 'message reference=2'
sleep 1  # the messages come back from the network after a moment
run getallsms
expect "$plain"
expect "$unicode"
expect "$own"
echo "gammu check passed"

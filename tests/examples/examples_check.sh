#!/usr/bin/env bash
# Runs the README's example programs against `reviri sim`: send_sms sends and
# gets a reference; receive_sms reports a message injected with
# `reviri sim-ctl`; read_phonebook prints an entry written with
# `reviri phonebook write`.
set -euo pipefail
reviri=$1 bin=$2
dir=$(mktemp -d)
sim=""
receiver=""
cleanup() {
  [ -n "$receiver" ] && kill "$receiver" 2>/dev/null
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "examples: $*" >&2; exit 1; }

"$reviri" sim --symlink "$dir/modem" --control "$dir/ctl" --number +4915100001 --seconds 120 >"$dir/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$dir/modem" ] && [ -S "$dir/ctl" ] && break; sleep 0.1; done
[ -S "$dir/ctl" ] || fail "the simulated modem did not start: $(cat "$dir/sim.log")"

# Send: a reference comes back, and the simulated modem saw the text.
out=$("$bin/send_sms" "$dir/modem" +4917012345 "Hello from the example")
[[ $out =~ ^sent,\ reference\ [0-9]+$ ]] || fail "send_sms printed: $out"
"$reviri" sim-ctl "$dir/ctl" sent | grep -q "+4917012345 .*Hello from the example" ||
  fail "the simulated modem did not get the message: $("$reviri" sim-ctl "$dir/ctl" sent)"

# Receive with an event: inject once the example listens.
"$bin/receive_sms" "$dir/modem" 30 >"$dir/receive.log" 2>&1 &
receiver=$!
for _ in $(seq 150); do grep -q listening "$dir/receive.log" && break; sleep 0.1; done
grep -q listening "$dir/receive.log" || fail "receive_sms did not start listening: $(cat "$dir/receive.log")"
"$reviri" sim-ctl "$dir/ctl" inject +4917099999 "Hi there, example" >/dev/null
wait "$receiver" || fail "receive_sms failed: $(cat "$dir/receive.log")"
receiver=""
grep -qE "^message [0-9]+ from \+?4917099999: Hi there, example$" "$dir/receive.log" ||
  fail "receive_sms printed: $(cat "$dir/receive.log")"

# Phonebook: an entry written by the tool reads back through the example.
"$reviri" --port "$dir/modem" phonebook write 3 +4917055555 145 "Ada Lovelace" >/dev/null
out=$("$bin/read_phonebook" "$dir/modem" 1,5)
grep -qx "+4917055555 145 Ada Lovelace" <<<"$out" || fail "read_phonebook printed: $out"
# The typed API: a long text goes out in parts, the modem's own number sends it
# back, and the example prints it once, joined (after the message receive_sms
# left in storage: the typed API hands the backlog over first).
own=+4915100001
long=$(printf 'part%.0s of a long text ' $(seq 12))
out=$("$bin/send_and_listen" "$dir/modem" "$own" "$long" 30 2) || fail "send_and_listen failed: $out"
grep -qx "sent in 2 part(s), 7bit" <<<"$out" || fail "send_and_listen printed: $out"
grep -qxF "from $own: $long" <<<"$out" || fail "send_and_listen did not print the joined message: $out"
echo "examples: send, receive, phonebook and the typed API OK"

#!/usr/bin/env bash
# The progress line: shown on a terminal while a wait lasts over a second,
# never with --json and never when standard error is not a terminal.
set -euo pipefail
reviri=$1
dir=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$dir"' EXIT
"$reviri" sim --symlink "$dir/modem" --delay 1500 --seconds 60 >"$dir/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$dir/modem" ] && break; sleep 0.1; done

# script(1) gives the tool a terminal; its output holds stdout and stderr.
script -qec "$reviri --port $dir/modem at AT+CGMI" /dev/null >"$dir/tty.out"
grep -q "waiting for the modem... 1 s" "$dir/tty.out" || { echo "no progress line on a terminal"; cat "$dir/tty.out"; exit 1; }
grep -q "Reviri" "$dir/tty.out" || { echo "no answer"; cat "$dir/tty.out"; exit 1; }

script -qec "$reviri --json --port $dir/modem at AT+CGMI" /dev/null >"$dir/json.out"
if grep -q "waiting for the modem" "$dir/json.out"; then echo "progress line with --json"; exit 1; fi

"$reviri" --port "$dir/modem" at AT+CGMI >"$dir/pipe.out" 2>"$dir/pipe.err"
if grep -q "waiting for the modem" "$dir/pipe.err"; then echo "progress line without a terminal"; exit 1; fi
echo "progress line: OK"

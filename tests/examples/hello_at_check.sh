#!/usr/bin/env bash
# Runs examples/hello_at against `reviri sim` and expects the modem's OK.
set -euo pipefail
reviri=$1 hello=$2
dir=$(mktemp -d)
trap 'kill $sim 2>/dev/null || true; rm -rf "$dir"' EXIT
"$reviri" sim --symlink "$dir/modem" --seconds 30 >"$dir/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e "$dir/modem" ] && break; sleep 0.1; done
answer=$("$hello" "$dir/modem")
if [ "$answer" != $'\r\nOK\r' ]; then
  printf 'unexpected answer: %q\n' "$answer"
  exit 1
fi
echo "hello_at: OK"

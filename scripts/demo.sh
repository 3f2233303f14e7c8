#!/usr/bin/env bash
# The main job on the built-in simulated modem: installs what the build needs
# (when missing, on Debian), builds the reviri tool, sends a message, then
# sends to the modem's own number in both codings and shows the messages
# coming back as incoming ones.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
build_release_tool reviri_cli hello_at
reviri="$build/tools/reviri"

run() {
  echo "\$ reviri $*"
  "$reviri" "$@"
  echo
}
run send --to +4915112345678 --text "Hello"
run info
run demo
run pdu encode --to +4915112345678 --text "Hello"

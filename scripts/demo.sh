#!/usr/bin/env bash
# The main job on the built-in simulated modem: installs what the build needs
# (when missing, on Debian), builds the reviri tool, sends a message, then
# sends to the modem's own number in both codings and shows the messages
# coming back as incoming ones.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages cmake g++ make pkg-config libre2-dev libcli11-dev nlohmann-json3-dev libncurses-dev \
  libsqlite3-dev libcpp-httplib-dev libssl-dev libpq-dev

build=${REVIRI_BUILD_DIR:-build/release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DREVIRI_BUILD_TESTS=OFF -DREVIRI_BUILD_BENCHMARKS=OFF \
  -DREVIRI_WERROR=OFF >/dev/null  # a demo build must not stop at a new compiler's warning
if ! cmake --build "$build" --target reviri_cli hello_at -j"$(nproc)" >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log"; exit 1
fi
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

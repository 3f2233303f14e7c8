#!/usr/bin/env bash
# The gateway in one command: installs what the build needs (when missing, on
# Debian), builds the reviri tool and runs `reviri gateway` with the given
# options (none: one built-in simulated modem, SQLite under
# $XDG_STATE_HOME/reviri, 127.0.0.1:8080). It prints a ready-to-paste curl line.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages cmake g++ make pkg-config libre2-dev libcli11-dev nlohmann-json3-dev libncurses-dev \
  libsqlite3-dev libcpp-httplib-dev libssl-dev libpq-dev

build=${REVIRI_BUILD_DIR:-build/release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DREVIRI_BUILD_TESTS=OFF -DREVIRI_BUILD_BENCHMARKS=OFF \
  -DREVIRI_WERROR=OFF >/dev/null  # a user's build must not stop at a new compiler's warning
if ! cmake --build "$build" --target reviri_cli -j"$(nproc)" >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log"; exit 1
fi
exec "$build/tools/reviri" gateway "$@"

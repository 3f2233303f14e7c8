#!/usr/bin/env bash
# Installs what the build needs (when missing), builds with warnings as errors
# under AddressSanitizer and UndefinedBehaviorSanitizer, runs every test (the
# API reference's Doxygen run among them), then checks the installed library
# and the .deb (scripts/test-install.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages cmake g++ make pkg-config libre2-dev libgtest-dev libgmock-dev libbenchmark-dev \
  libcli11-dev nlohmann-json3-dev libncurses-dev tmux gammu libsqlite3-dev libcpp-httplib-dev libssl-dev \
  libtomlplusplus-dev python3-jsonschema libmosquitto-dev mosquitto \
  postgresql libpq-dev doxygen help2man bash-completion dpkg-dev file binutils \
  chromium chromium-driver python3-selenium
# npm for the test-time JavaScript tools (the OpenAPI validator, axe-core);
# Debian's only where the machine has no npm (a Node.js from elsewhere brings
# its own, and Debian's npm would clash with it).
command -v npm >/dev/null || ensure_packages nodejs npm

build=${REVIRI_BUILD_DIR:-build/asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DREVIRI_SANITIZE=ON -DREVIRI_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$(nproc)" --timeout 300

# The installed library, its consumers and the .deb (a Release tree of its own).
bash scripts/test-install.sh

# The COM server for Windows, built with mingw-w64 and tested under Wine
# (REVIRI_SKIP_WINDOWS=1 skips it outside CI).
case $build in /*) sim_tool=$build/tools/reviri ;; *) sim_tool=$PWD/$build/tools/reviri ;; esac
REVIRI_SIM_TOOL=$sim_tool bash scripts/test-windows.sh

#!/usr/bin/env bash
# The gateway in one command: installs what the build needs (when missing, on
# Debian), builds the reviri tool and runs `reviri gateway` with the given
# options (none: one built-in simulated modem, SQLite under
# $XDG_STATE_HOME/reviri, 127.0.0.1:8080). It prints a ready-to-paste curl line.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
build_release_tool reviri_cli
exec "$build/tools/reviri" gateway "$@"

#!/usr/bin/env bash
# The generated man page reviri(1) names the tool's version and describes
# every verb and global option that the tool's --help lists.
set -euo pipefail
reviri=$1 page=$2
text=$(zcat "$page")
fail() { echo "man page: $*" >&2; exit 1; }
grep -q '^\.TH REVIRI "1"' <<<"$text" || fail "no .TH REVIRI 1 header"
version=$("$reviri" --version | awk '{print $2}')
grep -qF "$version" <<<"$text" || fail "version $version missing"
for verb in $("$reviri" --help | awk '/^Subcommands:/ {on = 1; next} on && /^  [a-z]/ {print $1}'); do
  grep -qE "^\.SS \"reviri $verb( |\")" <<<"$text" || fail "no section for the verb $verb"
done
for option in $("$reviri" --help | sed -nE 's/^  (-[a-z],)?(--[a-z][a-z0-9-]*).*/\2/p'); do
  grep -qF -- "${option//-/\\-}" <<<"$text" || fail "global option $option missing"
done
echo "man page: version, every verb and every global option present"

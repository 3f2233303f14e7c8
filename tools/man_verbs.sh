#!/usr/bin/env bash
# Writes the VERBS section of the man page reviri(1) for help2man --include:
# every verb's (and sub-verb's) own --help, taken from the built tool so the
# page cannot drift from it.
#   man_verbs.sh REVIRI OUTPUT
set -euo pipefail
reviri=$1 output=$2

subcommands() { "$reviri" "$@" --help | awk '/^Subcommands:/ {on = 1; next} on && /^  [a-z]/ {print $1}'; }
# One verb's help as a roff block: backslashes doubled, a leading dot or
# apostrophe protected.
section() {
  printf '.SS "reviri %s"\n.nf\n' "$*"
  "$reviri" "$@" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  printf '.fi\n'
}

{
  printf '[VERBS]\n'
  for verb in $(subcommands); do
    subs=$(subcommands "$verb")
    if [ -z "$subs" ]; then
      section "$verb"
    else
      for sub in $subs; do section "$verb" "$sub"; done
    fi
  done
  printf '[SEE ALSO]\nThe API reference of the Reviri library, its README and the manuals in docs/.\n'
} >"$output.tmp"
mv "$output.tmp" "$output"

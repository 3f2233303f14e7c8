#!/usr/bin/env bash
# The bash completion offers every verb, sub-verb and option the tool's own
# --help lists, so the two cannot drift apart. Skips (77) without bash-completion.
set -uo pipefail
reviri=$1 completion=$2
framework=/usr/share/bash-completion/bash_completion
[ -r "$framework" ] || { echo "bash-completion is not installed"; exit 77; }
# shellcheck disable=SC1090
source "$framework"
# shellcheck disable=SC1090
source "$completion"

# Prints what completing the last word of "$@" offers.
offers() {
  COMP_WORDS=("$reviri" "${@:2}")  # the tool itself in place of "reviri"
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _reviri reviri "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}"
}
# The sub-commands and the options listed by `reviri ARGS... --help`.
subcommands() { "$reviri" "$@" --help | awk '/^Subcommands:/ {on = 1; next} on && /^  [a-z]/ {print $1}'; }
options() {
  "$reviri" "$@" --help | sed -nE 's/^  (-[a-z],)?(--[a-z0-9][a-z0-9-]*).*/\2/p' | grep -vx -- '--help' | sort -u
}

missing=0
expect() {  # expect WORD WORDS-OF-THE-LINE...
  local word=$1
  shift
  local offered
  offered=$(offers "$@")
  if ! grep -qx -- "$word" <<<"$offered"; then
    echo "completing '$*' does not offer $word"
    missing=$((missing + 1))
  fi
}

verbs=$(subcommands)
[ "$(wc -l <<<"$verbs")" -ge 10 ] || { echo "could not read the verbs from --help: $verbs"; exit 1; }
for option in $(options); do expect "$option" reviri --; done
for verb in $verbs; do
  expect "$verb" reviri ""
  # The verb still completes after global options and their values.
  expect "$verb" reviri --port /dev/ttyUSB0 --json ""
  subs=$(subcommands "$verb")
  if [ -n "$subs" ]; then
    for sub in $subs; do
      expect "$sub" reviri "$verb" ""
      for option in $(options "$verb" "$sub"); do expect "$option" reviri "$verb" "$sub" --; done
    done
  else
    known=$(options "$verb")
    for option in $known; do expect "$option" reviri "$verb" --; done
    # Nor does a verb offer an option it does not have (or no longer has).
    for word in $(offers reviri "$verb" --); do
      [ "$word" = --help ] || grep -qx -- "$word" <<<"$known" ||
        { echo "completing 'reviri $verb --' offers $word, which the verb does not know"; missing=$((missing + 1)); }
    done
  fi
done
# Quirk names come from the tool's own help.
quirks=$("$reviri" sim --help | sed -n 's/.*real devices: \(.*\) (repeatable).*/\1/p' | tr -d ,)
[ -n "$quirks" ] || { echo "could not read the quirk names from reviri sim --help"; exit 1; }
for quirk in $quirks; do expect "$quirk" reviri sim --quirk ""; done
# Nothing is offered that the tool does not know.
for word in $(offers reviri ""); do
  case $word in --*) "$reviri" --help | grep -q -- "$word" ;; *) grep -qx -- "$word" <<<"$verbs" ;; esac ||
    { echo "the completion offers '$word', which reviri does not know"; missing=$((missing + 1)); }
done
[ "$missing" -eq 0 ] || exit 1
echo "completion: every verb and option of reviri --help is offered"

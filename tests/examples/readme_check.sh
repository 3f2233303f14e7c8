#!/usr/bin/env bash
# The example programs the manuals show are the files under examples/: each
# fenced block that follows a line "<!-- example: NAME -->" in README.md or
# docs/*.md must equal examples/NAME.
set -euo pipefail
root=$1
count=0
pages=("$root/README.md" "$root"/docs/*.md)
while read -r name; do
  block=$(awk -v name="$name" '
    $0 == "<!-- example: " name " -->" { want = 1; next }
    want && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "${pages[@]}")
  if [ "$block" != "$(cat "$root/examples/$name")" ]; then
    echo "manuals: the block for examples/$name differs from the file:" >&2
    diff <(echo "$block") "$root/examples/$name" >&2 || true
    exit 1
  fi
  count=$((count + 1))
done < <(sed -n 's/^<!-- example: \(.*\) -->$/\1/p' "${pages[@]}")
for needed in send_sms.cpp receive_sms.cpp read_phonebook.cpp send_and_listen.cpp; do
  grep -qx "<!-- example: $needed -->" "${pages[@]}" || { echo "the manuals lack examples/$needed" >&2; exit 1; }
done
echo "manuals: $count example blocks match examples/"

#!/usr/bin/env bash
# Prints deb822 "deb-src" entries derived from the machine's configured
# package sources, so that the project never names an archive itself: each
# "deb" entry whose suites include the release's codename gives a source
# entry for the same archive (its URIs, components and signing key). Reads
# sources.list and sources.list.d/*.list (one-line format) and
# sources.list.d/*.sources (deb822 format); disabled entries are skipped.
#
# Usage: deb-src-entries.sh [APT_ETC_DIR [CODENAME]]
#   APT_ETC_DIR defaults to /etc/apt, CODENAME to the release's
#   VERSION_CODENAME from /etc/os-release.
set -euo pipefail
etc=${1:-/etc/apt}
codename=${2:-}
if [ -z "$codename" ] && [ -r /etc/os-release ]; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fi
if [ -z "$codename" ]; then
  echo "deb-src-entries: cannot tell the release's codename" >&2
  exit 2
fi

one_line=() deb822=()
[ -f "$etc/sources.list" ] && one_line+=("$etc/sources.list")
for f in "$etc"/sources.list.d/*.list; do [ -f "$f" ] && one_line+=("$f"); done
for f in "$etc"/sources.list.d/*.sources; do [ -f "$f" ] && deb822+=("$f"); done

# One-line entries: deb [options] uri suite component...
if ((${#one_line[@]})); then
  awk -v codename="$codename" '
    { sub(/#.*/, "") }
    $1 != "deb" { next }
    {
      i = 2; signed = ""
      if ($2 ~ /^\[/) {
        for (; i <= NF; i++) {
          opt = $i; gsub(/[][]/, "", opt)
          if (tolower(opt) ~ /^signed-by=/) signed = substr(opt, 11)
          if ($i ~ /\]$/) { i++; break }
        }
      }
      uri = $i; suite = $(i + 1)
      if (suite != codename || (uri SUBSEP suite) in seen) next
      seen[uri, suite] = 1
      components = ""
      for (j = i + 2; j <= NF; j++) components = components (components == "" ? "" : " ") $j
      printf "Types: deb-src\nURIs: %s\nSuites: %s\n", uri, suite
      if (components != "") printf "Components: %s\n", components
      if (signed != "") printf "Signed-By: %s\n", signed
      printf "\n"
    }' "${one_line[@]}"
fi

# deb822 paragraphs: fields, continuation lines (an embedded key) kept whole.
if ((${#deb822[@]})); then
  awk -v codename="$codename" '
    function flush(   n, suites, i, has, key) {
      if (!("types" in field)) return
      has = 0
      n = split(field["types"], parts, /[ \t]+/)
      for (i = 1; i <= n; i++) if (parts[i] == "deb") has = 1
      if (!has || tolower(field["enabled"]) == "no") return
      n = split(field["suites"], suites, /[ \t]+/)
      has = 0
      for (i = 1; i <= n; i++) if (suites[i] == codename) has = 1
      key = field["uris"] SUBSEP codename
      if (!has || key in seen) return
      seen[key] = 1
      printf "Types: deb-src\nURIs: %s\nSuites: %s\n", field["uris"], codename
      if (field["components"] != "") printf "Components: %s\n", field["components"]
      if (raw["signed-by"] != "") printf "Signed-By:%s\n", raw["signed-by"]
      printf "\n"
    }
    function reset() { split("", field); split("", raw); last = "" }
    BEGIN { reset() }
    FNR == 1 && NR > 1 { flush(); reset() }
    /^#/ { next }
    /^[ \t]*$/ { flush(); reset(); next }
    /^[ \t]/ { if (last != "") raw[last] = raw[last] "\n" $0; next }
    {
      colon = index($0, ":")
      if (!colon) next
      last = tolower(substr($0, 1, colon - 1))
      value = substr($0, colon + 1)
      raw[last] = value
      sub(/^[ \t]+/, "", value); sub(/[ \t]+$/, "", value)
      field[last] = value
    }
    END { flush() }' "${deb822[@]}"
fi

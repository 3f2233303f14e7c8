#!/usr/bin/env bash
# Checks scripts/deb-src-entries.sh on made-up apt configurations: which
# configured entries give source entries, and what those carry.
set -euo pipefail
script=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # what, expected, actual
  if [ "$2" = "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1"; diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") || true
    failures=$((failures + 1))
  fi
}

# One-line format: options, comments, other suites and existing deb-src lines.
mkdir -p "$dir/a/sources.list.d"
cat >"$dir/a/sources.list" <<'LIST'
# deb file:/srv/commented/debian trixie main
deb [arch=amd64 signed-by=/keys/a.gpg] file:/srv/one/debian trixie main contrib
deb file:/srv/one/debian trixie-updates main
deb-src file:/srv/two/debian trixie main
deb [ trusted=yes ] file:/srv/three/debian trixie main # a note
LIST
cat >"$dir/a/sources.list.d/extra.list" <<'LIST'
deb file:/srv/one/debian trixie main contrib
deb file:/srv/vendor/apt stable main
LIST
echo 'deb file:/srv/ignored/debian trixie main' >"$dir/a/sources.list.d/old.list.disabled"
expect "one-line entries of the release, once each, with their signing key" \
"Types: deb-src
URIs: file:/srv/one/debian
Suites: trixie
Components: main contrib
Signed-By: /keys/a.gpg

Types: deb-src
URIs: file:/srv/three/debian
Suites: trixie
Components: main" "$(bash "$script" "$dir/a" trixie)"

# deb822 format: several suites, an embedded key, a disabled paragraph.
mkdir -p "$dir/b/sources.list.d"
cat >"$dir/b/sources.list.d/debian.sources" <<'SRC'
Types: deb
# a comment inside the paragraph
URIs: file:/srv/one/debian
Suites: bookworm bookworm-updates
Components: main non-free
Signed-By: /keys/b.gpg

Types: deb
URIs: file:/srv/security/debian-security
Suites: bookworm-security
Components: main

types: deb deb-src
uris: file:/srv/four/debian
suites: bookworm
components: main
signed-by:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 AAAA
 -----END PGP PUBLIC KEY BLOCK-----
SRC
cat >"$dir/b/sources.list.d/off.sources" <<'SRC'
Types: deb
URIs: file:/srv/off/debian
Suites: bookworm
Components: main
Enabled: no
SRC
expect "deb822 entries of the release, embedded keys kept, disabled ones skipped" \
"Types: deb-src
URIs: file:/srv/one/debian
Suites: bookworm
Components: main non-free
Signed-By: /keys/b.gpg

Types: deb-src
URIs: file:/srv/four/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 AAAA
 -----END PGP PUBLIC KEY BLOCK-----" "$(bash "$script" "$dir/b" bookworm)"

expect "nothing for a release no entry serves" "" "$(bash "$script" "$dir/b" trixie)"
mkdir -p "$dir/empty"
expect "nothing without sources" "" "$(bash "$script" "$dir/empty" bookworm)"

echo "$failures failed"
exit $((failures > 0))

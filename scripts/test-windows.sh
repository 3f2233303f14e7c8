#!/usr/bin/env bash
# Builds pemlam22.ocx for 32-bit and 64-bit Windows with mingw-w64 and tests
# both under Wine: a fresh prefix, COM1 mapped to a pseudo-terminal served by
# the simulated modem, each build registered in turn with regsvr32 and driven
# by a C++ client, by a second one that embeds the control in a container
# window of its own, and by VBScript (Wine's cscript and our own script host);
# then registered and removed again for the current user only.
#
# Installs what it needs when missing (mingw-w64, wine with wine32, RE2's
# sources, which it cross-builds once into the build folder). The modem is
# the project's simulated modem (reviri sim) on a pseudo-terminal.
# REVIRI_SKIP_WINDOWS=1 skips it while developing; CI never skips.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${REVIRI_SKIP_WINDOWS:-}" = 1 ]; then
  if [ "${CI:-}" = true ]; then
    echo "test-windows: REVIRI_SKIP_WINDOWS is ignored in CI"
  else
    echo "test-windows: skipped (REVIRI_SKIP_WINDOWS=1)"
    exit 0
  fi
fi

out=${REVIRI_WIN_BUILD_DIR:-$root/build/win}
mkdir -p "$out"
log() { printf '[%s] %s\n' "$(date +%T)" "$*"; }
start=$(date +%s)

# ---- Toolchain and Wine -------------------------------------------------------
sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64
          wine wine64 libwine-dev cmake make pkg-config xz-utils perl python3-six unicode-data
          g++ libre2-dev libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do have "$p" || missing+=("$p"); done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
  missing+=(wine32:i386)
elif ! have wine32:i386; then
  missing+=(wine32:i386)
fi
# RE2 has no mingw build in Debian: its source package is cross-built below.
# Source packages come from the archives the machine already uses: the
# deb-src entries are derived from its configured binary sources.
src_list=/etc/apt/sources.list.d/reviri-deb-src.sources
need_src=0
[ -f "$out/deps/re2-src.done" ] || need_src=1
has_deb_src() {
  local files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
  grep -qsi '^[[:space:]]*types:.*deb-src\|^[[:space:]]*deb-src[[:space:]]' "${files[@]}"
}
if ((need_src)) && ! has_deb_src; then
  src_entries=$(bash "$root/scripts/deb-src-entries.sh")
  if [ -z "$src_entries" ]; then
    echo "test-windows: no configured package source of this release to take RE2's source package from;"
    echo "  add a deb-src entry for your Debian archive to /etc/apt/sources.list.d/"
    exit 1
  fi
  log "adding source-package entries derived from the configured package sources"
  printf '%s\n' "$src_entries" | $sudo_cmd tee "$src_list" >/dev/null
  missing+=(--update-lists)
fi
if ((${#missing[@]})); then
  log "installing: ${missing[*]}"
  t0=$(date +%s)
  $sudo_cmd apt-get update -qq
  pkgs=(); for p in "${missing[@]}"; do [ "$p" = --update-lists ] || pkgs+=("$p"); done
  if ((${#pkgs[@]})); then
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
      "${pkgs[@]}" >"$out/apt.log" 2>&1 || { tail -30 "$out/apt.log"; exit 1; }
  fi
  log "installed in $(( $(date +%s) - t0 )) s"
fi

# ---- RE2 for Windows, cached ----------------------------------------------------
deps=$out/deps
mkdir -p "$deps"
if [ ! -f "$deps/re2-src.done" ]; then
  log "fetching RE2's Debian source package"
  rm -rf "$deps/src" && mkdir -p "$deps/src"
  (cd "$deps/src" && apt-get source --download-only -qq re2 >"$deps/apt-source.log" 2>&1) \
    || { cat "$deps/apt-source.log"; echo "test-windows: cannot fetch RE2's source package"; exit 1; }
  tar -C "$deps/src" -xf "$deps"/src/re2_*.orig.tar.xz
  re2src=$(echo "$deps"/src/re2-*/)
  # Debian's source leaves out the generated Unicode tables; make them from
  # Debian's Unicode data, as the package build does.
  sed -i 's|^_UNICODE_DIR = .*|_UNICODE_DIR = "/usr/share/unicode"|' "$re2src/re2/unicode.py"
  perl "$re2src/re2/make_perl_groups.pl" >"$re2src/re2/perl_groups.cc"
  (cd "$re2src/re2" && python3 make_unicode_casefold.py >unicode_casefold.cc \
                    && python3 make_unicode_groups.py >unicode_groups.cc)
  touch "$deps/re2-src.done"
fi
re2src=$(echo "$deps"/src/re2-*/)

build_re2() {  # arch
  local arch=$1 prefix=$deps/$1
  if [ ! -f "$prefix/lib/libre2.a" ]; then
  log "cross-building RE2 ($arch)"
  cmake -S "$re2src" -B "$deps/re2-build-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DRE2_BUILD_TESTING=OFF -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_PREFIX="$prefix" >"$deps/re2-$arch.log" 2>&1
  cmake --build "$deps/re2-build-$arch" -j"$(nproc)" >>"$deps/re2-$arch.log" 2>&1 \
    || { tail -30 "$deps/re2-$arch.log"; exit 1; }
  cmake --install "$deps/re2-build-$arch" >>"$deps/re2-$arch.log" 2>&1
  fi
  mkdir -p "$prefix/lib/pkgconfig"
  cat >"$prefix/lib/pkgconfig/re2.pc" <<PC
prefix=$prefix
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: re2
Description: RE2 regular expressions (cross-built for Windows)
Version: 2022.06.01
Cflags: -pthread -I\${includedir}
Libs: -pthread -L\${libdir} -lre2
PC
}

# ---- The control, 32-bit and 64-bit -----------------------------------------------
build_ocx() {  # arch dir
  local arch=$1 dir=$out/$2
  build_re2 "$arch"
  log "building pemlam22.ocx ($arch)"
  PKG_CONFIG_LIBDIR=$deps/$arch/lib/pkgconfig PKG_CONFIG_PATH= \
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
      -DREVIRI_WIN_DEPS="$deps/$arch" -DCMAKE_BUILD_TYPE=Release -DREVIRI_WERROR=ON \
      -DREVIRI_BUILD_TESTS=OFF -DREVIRI_BUILD_BENCH=OFF -DREVIRI_BUILD_TOOLS=OFF >"$dir.cmake.log" 2>&1 \
    || { cat "$dir.cmake.log"; exit 1; }
  cmake --build "$dir" -j"$(nproc)" -- --no-print-directory 2>&1 | grep -v '^\[' || true
  [ -f "$dir/com/pemlam22.ocx" ] || { echo "test-windows: pemlam22.ocx ($arch) was not built"; exit 1; }
}
build_ocx i686 x86
build_ocx x86_64 x64
log "both builds done after $(( $(date +%s) - start )) s"

if [ "${REVIRI_WINDOWS_BUILD_ONLY:-}" = 1 ]; then exit 0; fi

# ---- Wine: a fresh prefix, COM1 on the simulated modem -----------------------------
unset DISPLAY
export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX=$out/prefix WINEDLLOVERRIDES="mscoree,mshtml="
wine64=/usr/lib/wine/wine64
winelog=$out/wine.log
: >"$winelog"

# The simulated modem is the reviri tool's "sim" verb (Linux). test.sh hands
# over the one it built; otherwise build it here.
sim_tool=${REVIRI_SIM_TOOL:-}
if [ -z "$sim_tool" ] || [ ! -x "$sim_tool" ]; then
  log "building the simulated modem (reviri sim)"
  cmake -S "$root" -B "$out/linux" -DCMAKE_BUILD_TYPE=Release -DREVIRI_SANITIZE=OFF \
    -DREVIRI_BUILD_TESTS=OFF -DREVIRI_BUILD_BENCH=OFF >"$out/linux.cmake.log" 2>&1 \
    || { cat "$out/linux.cmake.log"; exit 1; }
  cmake --build "$out/linux" --target reviri_cli -j"$(nproc)" -- --no-print-directory 2>&1 | grep -v '^\[' || true
  sim_tool=$out/linux/tools/reviri
fi

sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
rm -f "$out/sim.sock" "$out/sim.out"
"$sim_tool" sim --control "$out/sim.sock" >"$out/sim.out" 2>"$out/sim.log" </dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -s "$out/sim.out" ] && break; sleep 0.1; done
tty=$(head -1 "$out/sim.out")
[ -e "$tty" ] || { echo "test-windows: the simulated modem did not start"; cat "$out/sim.log"; exit 1; }

log "making a fresh Wine prefix"
wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
wineboot --init >>"$winelog" 2>&1
wineserver -w
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$tty" /f >>"$winelog" 2>&1
# There is no display: Wine's null graphics driver still creates real (never
# shown) windows, which the in-place activation of the control needs.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$winelog" 2>&1
wineserver -w
# One persistent server whose exit dump goes to the log, not to CI's output.
wineserver -p 2>>"$winelog"
log "prefix ready, COM1 = $tty"

winpath() { winepath -w "$1" 2>/dev/null; }
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# Runs a test program; its last line must read "N passed, 0 failed".
expect_pass() {  # name, command...
  local name=$1; shift
  local output
  # Through a file, not a pipe: a Wine service started by the program keeps
  # its standard output open after it ends.
  timeout 600 "$@" >"$out/run.out" 2>>"$winelog" </dev/null || true
  output=$(cat "$out/run.out")
  printf '%s\n' "$output" | sed "s/^/  [$name] /"
  local summary
  summary=$(printf '%s\n' "$output" | tr -d '\r' | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -1 || true)
  if [ -z "$summary" ]; then
    fail "$name: no summary line (the script or program stopped early)"
  elif [[ ! $summary =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
    fail "$name: $summary"
  fi
}

registered() {  # runner
  "$1" reg query 'HKCR\Raruru_VU.Reviri\CLSID' >/dev/null 2>&1
}

for arch in x86 x64; do
  if [ $arch = x86 ]; then run=wine; else run=$wine64; fi
  dir=$out/$arch
  ocx=$(winpath "$dir/com/pemlam22.ocx")
  log "[$arch] regsvr32 $ocx"
  $run regsvr32 /s "$ocx" >>"$winelog" 2>&1 || fail "$arch: regsvr32 exit code $?"
  registered "$run" || fail "$arch: ProgID not registered"
  expect_pass "$arch client" wine "$dir/com/wine-tests/reviri_com_client.exe"
  expect_pass "$arch embedding" wine "$dir/com/wine-tests/reviri_embed_client.exe"
  expect_pass "$arch cscript" $run cscript //nologo "$(winpath "$root/tests/com/wine/reviri_test.vbs")"
  # Our host runs the same script again: unlike cscript it reports script errors.
  expect_pass "$arch vbshost" wine "$dir/com/wine-tests/reviri_vbshost.exe" \
    "$(winpath "$root/tests/com/wine/reviri_test.vbs")"
  expect_pass "$arch vbshost events" wine "$dir/com/wine-tests/reviri_vbshost.exe" \
    "$(winpath "$root/tests/com/wine/events.vbs")"
  $run regsvr32 /u /s "$ocx" >>"$winelog" 2>&1 || fail "$arch: regsvr32 /u exit code $?"
  registered "$run" && fail "$arch: ProgID still registered after regsvr32 /u"

  # Per user, without administrator rights: everything under
  # HKCU\Software\Classes, nothing machine-wide; then removed again.
  client="$dir/com/wine-tests/reviri_com_client.exe"
  log "[$arch] regsvr32 /n /i:user $ocx"
  $run regsvr32 /s /n /i:user "$ocx" >>"$winelog" 2>&1 || fail "$arch: regsvr32 /n /i:user exit code $?"
  expect_pass "$arch per-user registration" wine "$client" user-registered
  $run regsvr32 /u /s /n /i:user "$ocx" >>"$winelog" 2>&1 || fail "$arch: regsvr32 /u /n /i:user exit code $?"
  expect_pass "$arch per-user unregistration" wine "$client" user-unregistered
done

log "Windows tests done after $(( $(date +%s) - start )) s with $failures failure(s)"
if ((failures)); then
  echo "test-windows: $failures failure(s); Wine's messages are in $winelog, the modem's in $out/sim.log"
  exit 1
fi

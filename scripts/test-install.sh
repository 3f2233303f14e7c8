#!/usr/bin/env bash
# Checks what a user of the installed library gets: builds a Release tree
# (shared library, the tool; no tests or benchmarks), installs it into a
# temporary prefix and checks the files, the exported symbols and SONAME;
# builds and runs the outside consumer (tests/consumer) with find_package and
# with pkg-config; builds the .deb and checks its control fields, contents and
# a consumer build against the unpacked tree. scripts/test.sh runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${REVIRI_PACKAGE_DIR:-build/package}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "test-install: $*" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DREVIRI_BUILD_TESTS=OFF -DREVIRI_BUILD_BENCHMARKS=OFF -DREVIRI_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# ---- cmake --install into a temporary prefix --------------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libreviri.so' | head -1)")
[ -n "$libdir" ] || fail "no libreviri.so installed"
for f in bin/reviri include/reviri/reviri.h include/reviri/serial_port.h include/reviri/export.h \
         share/man/man1/reviri.1.gz share/bash-completion/completions/reviri \
         lib/systemd/system/reviri-gateway.service; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done
for f in pkgconfig/reviri.pc cmake/Reviri/ReviriConfig.cmake cmake/Reviri/ReviriConfigVersion.cmake \
         cmake/Reviri/ReviriTargets.cmake; do
  [ -e "$libdir/$f" ] || fail "not installed: ${libdir#"$prefix"/}/$f"
done
# Only the public headers: nothing of the internal folders.
extra=$(find "$prefix/include" -type f ! -path "$prefix/include/reviri/*.h")
[ -z "$extra" ] || fail "headers outside include/reviri/ installed: $extra"
diff <(cd include/reviri && ls ./*.h) <(cd "$prefix/include/reviri" && ls ./*.h) >/dev/null ||
  fail "the installed headers differ from include/reviri/"

# The shared library: versioned SONAME, exports the public API and no more.
version=$(sed -n 's/^project(reviri VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -e "$libdir/libreviri.so.$version" ] || fail "libreviri.so.$version missing"
soname=$(objdump -p "$libdir/libreviri.so" | awk '$1 == "SONAME" {print $2}')
case $soname in libreviri.so.[0-9]*) ;; *) fail "SONAME is '$soname'" ;; esac
public=$(sed -nE 's/.*(class|struct) REVIRI_API ([A-Za-z_]+).*/\2/p; s/^REVIRI_API [^(]* \**([A-Za-z_]+)\(.*/\1/p' \
  include/reviri/*.h | sort -u | paste -sd'|')
[ -n "$public" ] || fail "no REVIRI_API declarations found"
exported=$(nm -D --defined-only -C "$libdir/libreviri.so" | cut -d' ' -f3-)
leaked=$(echo "$exported" |
  sed -E 's/^(typeinfo name for|typeinfo for|vtable for|VTT for) //' |
  grep -E '^reviri::' | grep -vE "^reviri::([a-z_]+::)*($public)(::|\(|\[|$)" || true)
[ -z "$leaked" ] || fail "internal symbols exported by libreviri.so:"$'\n'"$(echo "$leaked" | head -20)"
grep -q '^reviri::Reviri::inimodem' <<<"$exported" ||
  fail "reviri::Reviri is not exported"

# ---- the outside consumer, with find_package and with pkg-config ------------
consume() {  # consume ROOT_PREFIX NAME
  local root=$1 name=$2 lib
  lib=$(dirname "$(find "$root" -name 'libreviri.so' -o -name 'libreviri.a' | head -1)")
  cmake -S tests/consumer -B "$work/$name-cmake" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/$name-cmake" >/dev/null
  [ "$(LD_LIBRARY_PATH=$lib "$work/$name-cmake/consumer")" = "consumer OK" ] || fail "$name: find_package consumer failed"
  # shellcheck disable=SC2046  # pkg-config's flags are meant to be split
  PKG_CONFIG_PATH=$lib/pkgconfig c++ -std=c++20 -o "$work/$name-pc" tests/consumer/main.cpp \
    $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs reviri)
  [ "$(LD_LIBRARY_PATH=$lib "$work/$name-pc")" = "consumer OK" ] || fail "$name: pkg-config consumer failed"
  echo "test-install: $name: find_package and pkg-config consumers OK"
}
consume "$prefix" installed
# The default build: a static library, whose consumers also link RE2 (found
# again by the CMake package; named by reviri.pc).
cmake -S . -B "$work/static" -DCMAKE_BUILD_TYPE=Debug -DREVIRI_BUILD_TOOLS=OFF -DREVIRI_BUILD_TESTS=OFF \
  -DREVIRI_BUILD_BENCHMARKS=OFF -DREVIRI_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/static" -j"$(nproc)" >/dev/null
cmake --install "$work/static" --prefix "$work/static-prefix" >/dev/null
[ -n "$(find "$work/static-prefix" -name libreviri.a)" ] || fail "the default build installed no libreviri.a"
consume "$work/static-prefix" installed-static
# From the source tree with add_subdirectory: the library only, no tests,
# benchmarks, tool or -Werror, so GoogleTest and Google Benchmark are not
# looked for.
cmake --no-warn-unused-cli -S tests/consumer -B "$work/subdir" -DREVIRI_SOURCE_DIR="$PWD" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/subdir.log" || { cat "$work/subdir.log"; fail "add_subdirectory consumer"; }
cmake --build "$work/subdir" -j"$(nproc)" >/dev/null
[ "$("$work/subdir/consumer")" = "consumer OK" ] || fail "add_subdirectory consumer failed"
echo "test-install: add_subdirectory consumer OK"
[ "$("$prefix/bin/reviri" --version)" = "reviri $version" ] || fail "reviri --version is not 'reviri $version'"

# ---- the .deb -----------------------------------------------------------------
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/reviri_"$version"_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for need in libc6 libstdc++6 libre2; do
  [[ $depends == *"$need"* ]] || fail ".deb Depends lacks $need: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = reviri ] || fail ".deb package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail ".deb version"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
grep -q "^ExecStart=$prefix/bin/reviri gateway" "$prefix/lib/systemd/system/reviri-gateway.service" ||
  fail "the systemd unit does not start the installed tool"
for f in ./usr/bin/reviri ./usr/include/reviri/reviri.h ./usr/share/man/man1/reviri.1.gz \
         ./usr/share/bash-completion/completions/reviri ./usr/lib/systemd/system/reviri-gateway.service; do
  grep -qx "$f" <<<"$contents" || fail ".deb lacks $f"
done
grep -qE '^\./usr/lib/.*libreviri\.so\.'"$version"'$' <<<"$contents" || fail ".deb lacks libreviri.so.$version"
grep -qE '/pkgconfig/reviri\.pc$' <<<"$contents" || fail ".deb lacks reviri.pc"
grep -qE '/cmake/Reviri/ReviriConfig\.cmake$' <<<"$contents" || fail ".deb lacks ReviriConfig.cmake"
# Its dependencies resolve from the configured package sources.
apt-get install --simulate "$(realpath "$deb")" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get cannot install $deb"; }
dpkg-deb -x "$deb" "$work/root"
grep -q "^ExecStart=/usr/bin/reviri gateway" "$work/root/usr/lib/systemd/system/reviri-gateway.service" ||
  fail "the .deb's systemd unit does not start /usr/bin/reviri"
consume "$work/root/usr" unpacked-deb
echo "test-install: $(basename "$deb") OK (Depends: $depends)"

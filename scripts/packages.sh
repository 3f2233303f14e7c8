# Sourced by the project's scripts: ensure_packages PKG... installs the Debian
# packages that are missing (with sudo when not root).
ensure_packages() {
  local missing=() p sudo_cmd=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build_release_tool TARGET...: installs what the tool's build needs (when
# missing) and builds TARGETs in a Release tree without tests, benchmarks or
# warnings as errors (a user's build must not stop at a new compiler's
# warning); sets `build` to the tree (REVIRI_BUILD_DIR, default build/release).
build_release_tool() {
  ensure_packages cmake g++ make pkg-config libre2-dev libcli11-dev nlohmann-json3-dev libncurses-dev \
    libsqlite3-dev libcpp-httplib-dev libssl-dev libpq-dev libtomlplusplus-dev
  build=${REVIRI_BUILD_DIR:-build/release}
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DREVIRI_BUILD_TESTS=OFF -DREVIRI_BUILD_BENCHMARKS=OFF \
    -DREVIRI_WERROR=OFF >/dev/null
  if ! cmake --build "$build" --target "$@" -j"$(nproc)" >"$build/build.log" 2>&1; then
    tail -n 40 "$build/build.log"
    return 1
  fi
}

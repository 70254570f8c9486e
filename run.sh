#!/usr/bin/env bash
# One entry point for setting up, building, testing and demonstrating flash3.
#   ./run.sh demo              a real run against the virtual device
#   ./run.sh test [--sanitize] every test through ctest
#   ./run.sh build             build only (build/)
#   ./run.sh screenshots [DIR] PNGs of the windows (offscreen; default build/screenshots)
#   ./run.sh bench             benchmarks (Release build)
#   ./run.sh fuzz [SECONDS]    fuzz the image reader (default 60 s)
#   ./run.sh soak [RUNS] [SEED] many runs with random images and faults
#   ./run.sh package           the Debian package flash3_<version>_amd64.deb (Release)
#   ./run.sh test-package      build the package and test what it installs (lintian too)
#   ./run.sh windows           flash3.exe, flash3-cli.exe, their zip and installer (build-winapp/dist)
#   ./run.sh test-windows      the Windows programs cross-built and tested under Wine
#   ./run.sh mutants [NAME...] plant each fault of tests/mutants/ alone; every one must be caught
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

BASE_PKGS=(cmake ninja-build g++ pkg-config python3 python3-jsonschema qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev)
FUZZ_PKGS=(clang libclang-rt-14-dev)
X_PKGS=(xvfb xauth xdotool)
PACKAGE_PKGS=(help2man dpkg-dev file)
PACKAGE_TEST_PKGS=(lintian man-db bash-completion)
WIN_PKGS=(cmake ninja-build python3 googletest g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64)
# The whole program for Windows: Qt's host tools and the packages' tools; for
# its tests under Wine, Wine's own fonts, a display and the report's schema check.
WINAPP_PKGS=(qt6-base-dev qt6-base-dev-tools nsis zip xz-utils)
WINAPP_TEST_PKGS=(fonts-wine xvfb xauth xdotool imagemagick python3-jsonschema)

# Installs the Debian packages given that are missing (as root), or says how.
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "run.sh: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "run.sh: missing packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
}

# build DIR [cmake options...]
build() {
  local dir=$1; shift
  need_packages "${BASE_PKGS[@]}"
  # CI sets FLASH3_WERROR=ON: a warning fails the build there.
  cmake -S "$ROOT" -B "$dir" -G Ninja -DFLASH3_WERROR="${FLASH3_WERROR:-OFF}" "$@" >/dev/null
  cmake --build "$dir" --parallel 2 | sed '/^ninja: no work to do/d'
}

cmd_build() { build build; }

cmd_test() {
  local dir=build opts=()
  if [ "${1:-}" = "--sanitize" ]; then
    dir=build-asan
    opts=(-DFLASH3_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  fi
  build "$dir" "${opts[@]}"
  mkdir -p "$dir/test-runtime" && chmod 700 "$dir/test-runtime"
  # Whatever the tests leave in a temporary folder stays inside the build folder.
  rm -rf "$dir/test-tmp" && mkdir -p "$dir/test-tmp"
  (cd "$dir" && TMPDIR="$ROOT/$dir/test-tmp" QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j2)
}

# The virtual device with the sample image, and a real run against it.
cmd_demo() {
  build build
  local image="$ROOT/data/sample.pf3"
  DEMO_TMP=$(mktemp -d)
  local tmp=$DEMO_TMP
  trap 'kill $SIM_PID 2>/dev/null || true; rm -rf "$DEMO_TMP"' EXIT
  "$ROOT/build/flash3-sim" --link "$tmp/ttyFLASH3" "$image" > "$tmp/sim.out" 2> "$tmp/sim.err" &
  SIM_PID=$!
  for _ in $(seq 50); do [ -s "$tmp/sim.out" ] && break; sleep 0.1; done
  local dev; dev=$(head -n1 "$tmp/sim.out")
  echo "Virtual device in FLASH3 boot mode at $dev (COM 2 is bound to it)"
  export FLASH3_COM2="$dev"
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$ROOT/build/flash3" ]; then
    echo "Press \"Configure COM port\", \"Initialize\", then \"Program FLASH\"; \"Exit / Abort\" ends the program."
    (cd "$ROOT/data" && "$ROOT/build/flash3" sample.pf3) || true
  else
    "$ROOT/build/flash3-cli" --port 2 "$image" && echo "Run completed (exit 0)." || echo "Run failed (exit $?)."
  fi
  wait $SIM_PID 2>/dev/null && echo "Device: every byte matched." || true
  cat "$tmp/sim.err"
}

cmd_screenshots() {
  build build
  local out=${1:-$ROOT/build/screenshots}
  mkdir -p "$out"
  # flash3-screenshots makes (and removes) a private runtime folder of its own.
  QT_QPA_PLATFORM=offscreen "$ROOT/build/flash3-screenshots" "$out"
  ls -1 "$out"/*.png
}

cmd_bench() {
  build build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  "$ROOT/bench/run_benchmarks.sh" "$ROOT/build-release"
}

cmd_fuzz() {
  need_packages "${FUZZ_PKGS[@]}"
  build build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DFLASH3_FUZZ=ON -DBUILD_TESTING=OFF -DFLASH3_BUILD_GUI=OFF
  local seconds=${1:-60} work
  work="$ROOT/build-fuzz/work"
  rm -rf "$work" && mkdir -p "$work"
  cp "$ROOT"/tests/fuzz/corpus/* "$work/"
  mkdir -p "$ROOT/build-fuzz/crashes"
  TMPDIR="$ROOT/build-fuzz" "$ROOT/build-fuzz/fuzz_image_reader" -max_total_time="$seconds" -max_len=4096 \
    -artifact_prefix="$ROOT/build-fuzz/crashes/" "$work" "$ROOT/tests/fuzz/corpus"
}

cmd_soak() {
  build build
  python3 "$ROOT/tests/soak/soak.py" --build "$ROOT/build" --runs "${1:-200}" --seed "${2:-1}" --station-runs 12
}

# The Debian package, built in build-release-pkg/ and copied here.
cmd_package() {
  need_packages "${PACKAGE_PKGS[@]}"
  # Debian's hardening flags (fortify, stack protector, full RELRO), as Debian's own tools give them.
  local bf="dpkg-buildflags --get"
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  # Only what the package holds: no tests, benchmarks or screenshot maker.
  build build-release-pkg -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFLASH3_PACKAGING=ON -DFLASH3_DEV_TOOLS=OFF \
    -DCMAKE_CXX_FLAGS="$($bf CPPFLAGS) $($bf CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$($bf LDFLAGS)"
  local deb
  deb=$(cd build-release-pkg && cpack -G DEB | sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p')
  [ -f "$deb" ] || { echo "run.sh: cpack made no .deb" >&2; exit 1; }
  cp "$deb" "$ROOT/"
  PACKAGE_DEB="$ROOT/$(basename "$deb")"
  echo "$PACKAGE_DEB"
}

cmd_test_package() {
  cmd_package
  need_packages "${PACKAGE_TEST_PKGS[@]}"
  "$ROOT/tests/package/test_package.sh" "$PACKAGE_DEB" "$ROOT/build-release-pkg/package-test"
}

# The Windows programs (Release) cross-built against the mingw Qt that
# packaging/windows/get-qt.sh puts in the cache folder, in build-winapp/; with
# --tests the tests under Wine too. Then the zip and the installer in
# build-winapp/dist/.
cmd_windows() {
  need_packages "${WIN_PKGS[@]}" "${WINAPP_PKGS[@]}"
  local qt testing=OFF
  [ "${1:-}" = "--tests" ] && testing=ON
  qt=$("$ROOT/packaging/windows/get-qt.sh")
  # The toolchain file counts only when the folder is new; no warning about it later.
  cmake -S "$ROOT" -B build-winapp -G Ninja --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64-qt.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=$testing -DFLASH3_SIM="$ROOT/build/flash3-sim" \
    -DFLASH3_WERROR="${FLASH3_WERROR:-OFF}" >/dev/null
  cmake --build build-winapp --parallel 2 | sed '/^ninja: no work to do/d'
  cmake --build build-winapp --target windows-packages
}

# Under Wine, each with a Wine prefix of its own: the Qt-free serial layer
# against devices on pseudo-terminals (build-win/), then the whole program
# (build-winapp/): the engine's tests, flash3-cli.exe against the Linux
# flash3-sim, flash3.exe on Xvfb, the zip and the installer.
cmd_test_windows() {
  need_packages "${WIN_PKGS[@]}"
  local dir=build-win
  cmake -S "$ROOT/tests/windows" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DFLASH3_WERROR="${FLASH3_WERROR:-OFF}" >/dev/null
  cmake --build "$dir" --parallel 2 | sed '/^ninja: no work to do/d'
  (cd "$dir" && ctest --output-on-failure -j2)
  # The virtual device runs on Linux; the Windows programs reach it through Wine.
  need_packages "${BASE_PKGS[@]}"
  cmake -S "$ROOT" -B build -G Ninja -DFLASH3_WERROR="${FLASH3_WERROR:-OFF}" >/dev/null
  cmake --build build --parallel 2 --target flash3-sim | sed '/^ninja: no work to do/d'
  need_packages "${WINAPP_TEST_PKGS[@]}"
  cmd_windows --tests
  (cd build-winapp && ctest --output-on-failure -j2)
}

# Planted faults (tests/mutants/*.patch), each against the tests it names, in
# a copy of the source built in build-mutants/.
cmd_mutants() {
  need_packages "${BASE_PKGS[@]}" git
  python3 "$ROOT/tests/mutants/run_mutants.py" "$@"
}

case "${1:-}" in
  build) shift; cmd_build "$@" ;;
  test) shift; cmd_test "$@" ;;
  demo) shift; cmd_demo "$@" ;;
  screenshots) shift; cmd_screenshots "$@" ;;
  bench) shift; cmd_bench "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  soak) shift; cmd_soak "$@" ;;
  package) shift; cmd_package "$@" ;;
  test-package) shift; cmd_test_package "$@" ;;
  windows) shift; cmd_windows "$@" ;;
  test-windows) shift; cmd_test_windows "$@" ;;
  mutants) shift; cmd_mutants "$@" ;;
  *) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac

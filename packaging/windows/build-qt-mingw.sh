#!/usr/bin/env bash
# Cross-builds Qt 6.4.2 for 64-bit Windows with Debian 12's mingw-w64 (posix
# threads), from Debian's own qt6-base source package and the qtserialport
# 6.4.2 source tarball (Debian's mirror here serves none). Host tools (moc,
# rcc, uic) come from Debian's Qt 6.4.2. get-qt.sh calls it when no ready-made
# archive is at hand.
#   build-qt-mingw.sh PREFIX QTSERIALPORT_TARBALL [ARCHIVE.tar.xz]
# About 28 min on an idle 2-core machine for qtbase (Core, Gui, Widgets, Test,
# the windows platform plugin and styles), 20 s for qtserialport; PREFIX holds
# about 82 MB. Needs root the first time (packages, a deb-src line for apt).
set -euo pipefail
PREFIX=$(realpath -m "${1:?usage: build-qt-mingw.sh PREFIX QTSERIALPORT_TARBALL [ARCHIVE.tar.xz]}")
SERIALPORT=$(realpath "${2:?usage: build-qt-mingw.sh PREFIX QTSERIALPORT_TARBALL [ARCHIVE.tar.xz]}")
ARCHIVE=${3:-}
WORK=${WORK:-$(mktemp -d)}
JOBS=${JOBS:-2}
export DEBIAN_FRONTEND=noninteractive

need=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools cmake ninja-build dpkg-dev xz-utils)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cd "$WORK"
if [ ! -d qtbase-everywhere-src-6.4.2 ]; then
  # Debian's source package, the one its qt6-base-dev 6.4.2 binaries came from.
  if ! ls qt6-base_6.4.2+dfsg.orig.tar.xz >/dev/null 2>&1; then
    if ! grep -rqs "deb-src\|Types:.*deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        > /etc/apt/sources.list.d/qt-mingw-src.sources
      apt-get update -qq
    fi
    apt-get source --download-only qt6-base=6.4.2+dfsg-10 >/dev/null
  fi
  tar xf qt6-base_6.4.2+dfsg.orig.tar.xz
fi
[ -d qtserialport-everywhere-src-6.4.2 ] || tar xf "$SERIALPORT"

# Package search also outside the mingw root: qtserialport finds this Qt there.
cat > mingw.cmake <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
TC
host=(-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
t0=$(date +%s)
# Debian's +dfsg source lacks the tablet header (wintab.h): no tablet events. No
# OpenGL, so no dynamic GL either (6.4.2's windows plugin does not build with
# dynamicgl on and opengl off).
cmake -S qtbase-everywhere-src-6.4.2 -B build-base -G Ninja -DCMAKE_TOOLCHAIN_FILE="$WORK/mingw.cmake" "${host[@]}" \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF \
  -DFEATURE_dynamicgl=OFF -DFEATURE_tabletevent=OFF -DFEATURE_vulkan=OFF -DFEATURE_dbus=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_testlib=ON -DFEATURE_icu=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_doubleconversion=OFF \
  > configure-base.log 2>&1 || { tail -30 configure-base.log; exit 1; }
cmake --build build-base --parallel "$JOBS" > build-base.log 2>&1 || { tail -30 build-base.log; exit 1; }
cmake --install build-base > install-base.log
t1=$(date +%s)
echo "qtbase: $((t1 - t0)) s" >&2
cmake -S qtserialport-everywhere-src-6.4.2 -B build-sp -G Ninja -DCMAKE_TOOLCHAIN_FILE="$WORK/mingw.cmake" "${host[@]}" \
  -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF > configure-sp.log 2>&1 || { tail -30 configure-sp.log; exit 1; }
cmake --build build-sp --parallel "$JOBS" > build-sp.log 2>&1 || { tail -30 build-sp.log; exit 1; }
cmake --install build-sp > install-sp.log
echo "qtserialport: $(($(date +%s) - t1)) s; $PREFIX holds $(du -sh "$PREFIX" | cut -f1)" >&2
if [ -n "$ARCHIVE" ]; then
  tar -C "$(dirname "$PREFIX")" -cJf "$ARCHIVE" "$(basename "$PREFIX")"
  (cd "$(dirname "$ARCHIVE")" && sha256sum "$(basename "$ARCHIVE")" > "$(basename "$ARCHIVE").sha256")
fi

#!/usr/bin/env bash
# Gets Qt 6.4.2 for 64-bit Windows (mingw-w64) into the cache folder, once, and
# prints its path (the prefix for CMAKE_PREFIX_PATH) on stdout.
#   get-qt.sh
# The cache is ${XDG_CACHE_HOME:-$HOME/.cache}/flash3/qt6.4.2-mingw-w64-x86_64.
# Where it comes from, the first that is there:
#   1. the archive FLASH3_QT_ARCHIVE names, or else the one in ../shared/deps
#      beside this repository (seconds); it must match the SHA-256 in the
#      .sha256 file beside it;
#   2. built here from Debian's qt6-base source package and the qtserialport
#      6.4.2 tarball (FLASH3_QTSERIALPORT_SOURCE, or ../shared/deps), checked
#      against the digest below: about 30 min on 2 idle cores, 45 on busy ones.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
NAME=qt6.4.2-mingw-w64-x86_64
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/flash3
PREFIX=$CACHE/$NAME
DEPS=$(realpath -m "$ROOT/../shared/deps")
ARCHIVE=${FLASH3_QT_ARCHIVE:-$DEPS/$NAME.tar.xz}
SERIALPORT=${FLASH3_QTSERIALPORT_SOURCE:-$DEPS/qtserialport-everywhere-src-6.4.2.tar.xz}
# qtserialport-everywhere-src-6.4.2.tar.xz as Qt released it.
SERIALPORT_SHA256=682626d3ae07074df0f707dab880f1eab1c133a04d5bed688a3ec63af305ae89
# Written last: a prefix without it is an unpacking or a build that did not finish.
STAMP=$PREFIX/.flash3-complete

say() { echo "get-qt.sh: $*" >&2; }

mkdir -p "$CACHE"
# One fetch at a time per cache: a second caller waits and then finds it done.
exec 9>"$CACHE/.qt.lock"
flock 9

if [ -f "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi
rm -rf "$PREFIX"

if [ -f "$ARCHIVE" ]; then
  [ -f "$ARCHIVE.sha256" ] || { say "$ARCHIVE has no $ARCHIVE.sha256 beside it"; exit 1; }
  expected=$(cut -d' ' -f1 "$ARCHIVE.sha256")
  actual=$(sha256sum "$ARCHIVE" | cut -d' ' -f1)
  if [ "$expected" != "$actual" ]; then
    say "$ARCHIVE does not match its SHA-256 ($actual, expected $expected)"
    exit 1
  fi
  say "unpacking $ARCHIVE into $CACHE"
  work=$(mktemp -d "$CACHE/.unpack.XXXXXX")
  tar -C "$work" -xJf "$ARCHIVE"
  [ -f "$work/$NAME/lib/cmake/Qt6/Qt6Config.cmake" ] || { say "$ARCHIVE holds no $NAME/ Qt"; rm -rf "$work"; exit 1; }
  mv "$work/$NAME" "$PREFIX"
  rmdir "$work"
else
  if [ ! -f "$SERIALPORT" ]; then
    say "no Qt archive ($ARCHIVE) and no qtserialport source ($SERIALPORT)."
    say "Put qtserialport-everywhere-src-6.4.2.tar.xz (download.qt.io, archive/qt/6.4/6.4.2/submodules/) there"
    say "or name it in FLASH3_QTSERIALPORT_SOURCE; or name a Qt archive in FLASH3_QT_ARCHIVE."
    exit 1
  fi
  if [ "$(sha256sum "$SERIALPORT" | cut -d' ' -f1)" != "$SERIALPORT_SHA256" ]; then
    say "$SERIALPORT is not the qtserialport 6.4.2 source (SHA-256 differs)"
    exit 1
  fi
  [ "$(id -u)" -eq 0 ] || { say "building Qt needs root the first time (Debian packages, apt source); run as root"; exit 1; }
  say "no Qt archive at $ARCHIVE: building Qt 6.4.2 for mingw-w64 from Debian's source (about 30-45 min)"
  work=$(mktemp -d "$CACHE/.build.XXXXXX")
  WORK=$work "$HERE/build-qt-mingw.sh" "$PREFIX" "$SERIALPORT" >&2 || { say "the Qt build failed; its logs are in $work"; exit 1; }
  rm -rf "$work"
fi
touch "$STAMP"
echo "$PREFIX"

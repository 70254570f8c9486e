#!/usr/bin/env bash
# The Windows packages from a cross build: a portable zip and an NSIS installer
# of the same files. The build's windows-packages target calls it.
#   make-packages.sh OUT NAME VERSION QT_PREFIX SOURCE_DIR EXE... -- RUNTIME_DLL...
# Makes OUT/NAME/ (what is shipped), OUT/NAME.zip and OUT/NAME-setup.exe.
set -euo pipefail
out=$1 name=$2 version=$3 qt=$4 source=$5
shift 5
exes=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do exes+=("$1"); shift; done
shift
runtime=("$@")
here=$(cd "$(dirname "$0")" && pwd)
STRIP=${STRIP:-x86_64-w64-mingw32-strip}

stage=$out/$name
rm -rf "$stage" "$out/$name.zip" "$out/$name-setup.exe"
mkdir -p "$stage/platforms" "$stage/styles"
cp "${exes[@]}" "$stage/"
for module in Core Gui Widgets SerialPort; do
  cp "$qt/bin/Qt6$module.dll" "$stage/"
done
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp "${runtime[@]}" "$stage/"
# Debugging information is a third of the size and of no use to a technician.
find "$stage" \( -iname '*.exe' -o -iname '*.dll' \) -exec "$STRIP" --strip-unneeded {} +
cp "$source/README.md" "$source/data/sample.pf3" "$here/ports.conf" "$stage/"
"$here/check-imports.sh" "$stage"

(cd "$out" && zip -qrX "$name.zip" "$name")

# The uninstaller removes what was installed and nothing else.
files=$out/$name-files.nsh
{
  (cd "$stage" && find . -type f | sort | sed 's|^\./||; s|/|\\|g') | while read -r f; do
    printf 'Delete "$INSTDIR\\%s"\n' "$f"
  done
  (cd "$stage" && find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g') | while read -r d; do
    printf 'RMDir "$INSTDIR\\%s"\n' "$d"
  done
} > "$files"
makensis -V2 -NOCD -DVERSION="$version" -DSTAGE="$stage" -DFILES="$files" -DICON="$source/data/icons/flash3.ico" \
  -DOUTFILE="$out/$name-setup.exe" "$here/flash3.nsi"
rm -f "$files"
echo "$out/$name.zip"
echo "$out/$name-setup.exe"

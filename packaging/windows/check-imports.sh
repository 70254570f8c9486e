#!/usr/bin/env bash
# Every DLL that a program or DLL in FOLDER imports is either in FOLDER itself
# (where Windows looks first) or one that every Windows 10 has. Prints what is
# missing and exits 1 then.
#   check-imports.sh FOLDER
set -euo pipefail
folder=${1:?usage: check-imports.sh FOLDER}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# Windows' own DLLs, in lower case; api-ms-win-* are Windows' API sets.
system=" advapi32.dll authz.dll comdlg32.dll d3d9.dll d3d11.dll dwmapi.dll dwrite.dll dxgi.dll gdi32.dll imm32.dll
 kernel32.dll mpr.dll msvcrt.dll netapi32.dll ole32.dll oleaut32.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll
 user32.dll userenv.dll uxtheme.dll version.dll winmm.dll ws2_32.dll wtsapi32.dll "
system=" $(echo $system) "  # one line
shipped=" $(find "$folder" -maxdepth 1 -iname '*.dll' -printf '%f\n' | tr 'A-Z' 'a-z' | tr '\n' ' ') "
missing=0
checked=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  while read -r dll; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    case "$shipped$system" in *" $lower "*) continue ;; esac
    case "$lower" in api-ms-win-*) continue ;; esac
    echo "check-imports.sh: ${file#"$folder"/} needs $dll, which is neither shipped nor part of Windows" >&2
    missing=1
  done < <("$OBJDUMP" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done < <(find "$folder" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
[ "$checked" -gt 0 ] || { echo "check-imports.sh: no program in $folder" >&2; exit 1; }
[ $missing -eq 0 ] && echo "check-imports.sh: the imports of $checked files are all there"
exit $missing

; The Windows installer of flash3 (make-packages.sh builds it with makensis):
; the programs in Program Files, FLASH3 and a command prompt that finds
; flash3-cli in the Start menu, and an uninstaller that Windows lists.
;   makensis -DVERSION=X.Y.Z -DSTAGE=DIR -DFILES=FILE -DICON=FILE -DOUTFILE=FILE flash3.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\flash3"

Name "flash3 ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\flash3"
InstallDirRegKey HKLM "Software\flash3" "InstallDir"
RequestExecutionLevel admin
ShowInstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "flash3"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "flash3 ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "the flash3 authors"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright 2026 the flash3 authors"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "flash3 needs 64-bit Windows."
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "flash3"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcuts start where the user's own files are.
  SetOutPath "$PROFILE"
  CreateShortCut "$SMPROGRAMS\FLASH3.lnk" "$INSTDIR\flash3.exe" "" "$INSTDIR\flash3.exe" 0 \
    SW_SHOWNORMAL "" "Reflash a KORVEN-7 interface in FLASH3 boot mode"
  ; A console in which flash3-cli is found; the system's PATH stays as it was.
  CreateShortCut "$SMPROGRAMS\FLASH3 Command Prompt.lnk" "$SYSDIR\cmd.exe" \
    '/k set PATH=$INSTDIR;%PATH%& flash3-cli --version' "$INSTDIR\flash3.exe" 0 \
    SW_SHOWNORMAL "" "A command prompt in which flash3-cli is found"

  WriteRegStr HKLM "Software\flash3" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "flash3 ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "the flash3 authors"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\flash3.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\FLASH3.lnk"
  Delete "$SMPROGRAMS\FLASH3 Command Prompt.lnk"
  ; Only what the installer put there: a folder chosen by hand may hold more.
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\flash3"
SectionEnd

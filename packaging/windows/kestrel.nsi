; The Windows installer: makensis -DVERSION=0.1.0 -DBIN=<build>/bin -DSOURCE=<tree>
;   -DOUTFILE=<build>/kestrel-0.1.0-setup.exe packaging/windows/kestrel.nsi
; (packaging/windows/CMakeLists.txt runs it as the target windows_installer). Installs what the
; build made into Program Files\Kestrel: the search library, README.md, and the panel (kestrel.exe)
; and kestrel-cli.exe when the build made them.
; /S installs silently, /D=<folder> (last on the command line) chooses another folder.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | BIN | SOURCE | OUTFILE
  !error "VERSION, BIN, SOURCE and OUTFILE must be defined (-D)"
!endif

!define PRODUCT "Kestrel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Kestrel"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BIN}/DAVazIvurirU2.dll"
  File "${SOURCE}/README.md"
!if /FileExists "${BIN}/kestrel.exe"
  File "${BIN}/kestrel.exe"
!endif
!if /FileExists "${BIN}/kestrel-cli.exe"
  File "${BIN}/kestrel-cli.exe"
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
!if /FileExists "${BIN}/kestrel.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Kestrel.lnk" "$INSTDIR\kestrel.exe"
!endif
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\README.lnk" "$INSTDIR\README.md"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall Kestrel.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there, by name: nothing else in the folder is touched.
Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\DAVazIvurirU2.dll"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\kestrel.exe"
  Delete "$INSTDIR\kestrel-cli.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\Kestrel.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\README.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall Kestrel.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

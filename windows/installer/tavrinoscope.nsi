; The Tavrinoscope installer for 64-bit Windows (makensis, from build.sh
; beside this file, which passes VERSION, OUTFILE and the folders below).
;
; Installs under Program Files\Tavrinoscope:
;   driver\   the driver package (tavrinoscope.inf, tavrinoscope.sys, the
;             catalog or its empty placeholder, INSTALL.md)
;   bin\      usbcam.exe and tavrinoscope.dll
;   sdk\      include\tavrinoscope\tavrinoscope.h, lib\libtavrinoscope.dll.a
;   python\   the Python package, with tavrinoscope.dll beside it
;   examples\ and docs\
; then stages the driver package in the driver store (SetupCopyOEMInfW, as
; `pnputil /add-driver` does), installs its files and service (the setup API,
; as the package's own INF says) and installs it on cameras already plugged in
; (UpdateDriverForPlugAndPlayDevicesW, as `pnputil ... /install` does).
; Registers an uninstaller in Add/Remove Programs, which undoes all of it.
;
; Silent: setup.exe /S [/ADDTOPATH] [/D=folder]; uninstall.exe /S.
; /ADDTOPATH (or the component "Add usbcam.exe to my PATH") appends bin\ to
; the user's PATH (HKCU\Environment).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"
!include "WinMessages.nsh"
!include "StrFunc.nsh"
${UnStrStr}

!ifndef VERSION
  !error "makensis -DVERSION=x.y.z (windows/installer/build.sh)"
!endif
!define PRODUCT "Tavrinoscope"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrinoscope"
!define HARDWARE_ID "USB\VID_1209&PID_0001"
!define INSTALL_SECTION "Tavrinoscope_Device.NTamd64"
!define SERVICES_SECTION "Tavrinoscope_Device.NTamd64.Services"
!define SERVICE "tavrinoscope"

; Log: shown in the installer's details and kept in driver\install.log, for a
; silent install too.
Var LogFile
!macro Log text
  DetailPrint "${text}"
  ${If} $LogFile != ""
    FileWrite $LogFile "${text}$\r$\n"
  ${EndIf}
!macroend
!define Log "!insertmacro Log"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${PRODUCT}"
VIAddVersionKey "LegalCopyright" "${PRODUCT} developers"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Camera driver, usbcam and the SDK" SecCore
  SectionIn RO
  SetRegView 64
  SetOutPath "$INSTDIR\driver"
  File "${PACKAGE}\tavrinoscope.inf"
  File "${PACKAGE}\tavrinoscope.sys"
  ; The signed catalog, or an empty placeholder until the package is signed
  ; (build.sh, INSTALL.md).
  File "${PACKAGE}\tavrinoscope.cat"
  File "${PACKAGE}\INSTALL.md"
  SetOutPath "$INSTDIR\bin"
  File "${BIN}\usbcam.exe"
  File "${BIN}\tavrinoscope.dll"
  SetOutPath "$INSTDIR\sdk\include\tavrinoscope"
  File "${SOURCE}\include\tavrinoscope\tavrinoscope.h"
  SetOutPath "$INSTDIR\sdk\lib"
  File "${LIB}\libtavrinoscope.dll.a"
  SetOutPath "$INSTDIR\python\tavrinoscope"
  File "${SOURCE}\python\tavrinoscope\*.py"
  File "${SOURCE}\python\tavrinoscope\py.typed"
  File "${BIN}\tavrinoscope.dll"
  SetOutPath "$INSTDIR\examples\c"
  File "${SOURCE}\examples\c\capture.c"
  SetOutPath "$INSTDIR\examples\python"
  File "${SOURCE}\examples\python\*.py"
  SetOutPath "$INSTDIR\docs"
  File "${SOURCE}\README.md"
  File "${SOURCE}\docs\sdk.md"
  File "${SOURCE}\docs\usbcam-windows.md"
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} camera driver and tools"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\bin\usbcam.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  Call InstallDriver
SectionEnd

Section /o "Add usbcam.exe to my PATH" SecPath
  ReadRegStr $0 HKCU "Environment" "Path"
  Push "$0"
  Push "$INSTDIR\bin"
  Call PathWithout
  Pop $0
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR\bin"
  ${Else}
    StrCpy $0 "$0;$INSTDIR\bin"
  ${EndIf}
  WriteRegExpandStr HKCU "Environment" "Path" "$0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "AddedToPath" "$INSTDIR\bin"
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecCore} "The driver package (installed in the driver store), usbcam.exe, tavrinoscope.dll with its header and import library, the Python package, examples and documents."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPath} "Lets you type usbcam in any new command prompt."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetRegView 64
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/ADDTOPATH" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecPath}
  ${EndIf}
FunctionEnd

; The driver package: staged in the driver store, its image and service
; installed, and installed on the cameras plugged in. A package without a
; trusted signature is refused by Windows; the rest of the installation stays
; and INSTALL.md says how to test-sign.
Function InstallDriver
  FileOpen $LogFile "$INSTDIR\driver\install.log" w
  Call InstallDriverSteps
  FileClose $LogFile
  StrCpy $LogFile ""
FunctionEnd

Function InstallDriverSteps
  ${Log} "Staging the driver package in the driver store"
  System::Call 'setupapi::SetupCopyOEMInfW(w "$INSTDIR\driver\tavrinoscope.inf", w n, i 1, i 0, w .r1, i ${NSIS_MAX_STRLEN}, *i .r2, p 0) i .r0 ? e'
  Pop $3
  ${If} $0 == 0
    ${Log} "The driver store refused the package (error $3); see $INSTDIR\driver\INSTALL.md"
    MessageBox MB_ICONEXCLAMATION|MB_OK "Windows did not accept the driver package (error $3). An unsigned package installs only with test signing on: see $INSTDIR\driver\INSTALL.md." /SD IDOK
    Return
  ${EndIf}
  ${GetFileName} "$1" $1
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DriverStoreInf" "$1"
  ${Log} "Staged as $1"

  ; The image and the service, from the staged INF's own sections (its
  ; DIRID 13 is the package's folder in the driver store).
  System::Call 'setupapi::SetupOpenInfFileW(w "$WINDIR\inf\$1", w n, i 2, p 0) p .r4'
  ${If} $4 == -1
    ${Log} "Cannot open the INF"
    Return
  ${EndIf}
  System::Call 'setupapi::SetupInitDefaultQueueCallbackEx(p $HWNDPARENT, p -1, i 0, i 0, p 0) p .r5'
  System::Call 'kernel32::GetModuleHandleW(w "setupapi.dll") p .r6'
  System::Call 'kernel32::GetProcAddress(p r6, m "SetupDefaultQueueCallbackW") p .r7'
  ; SPINST_FILES (0x10), SP_COPY_NEWER_OR_SAME (0x4)
  System::Call 'setupapi::SetupInstallFromInfSectionW(p $HWNDPARENT, p r4, w "${INSTALL_SECTION}", i 0x10, p 0, w "$INSTDIR\driver", i 0x4, p r7, p r5, p 0, p 0) i .r0 ? e'
  Pop $3
  ${If} $0 == 0
    ${Log} "Copying the driver image failed (error $3)"
  ${EndIf}
  System::Call 'setupapi::SetupTermDefaultQueueCallback(p r5)'
  System::Call 'setupapi::SetupInstallServicesFromInfSectionW(p r4, w "${SERVICES_SECTION}", i 0) i .r0 ? e'
  Pop $3
  ${If} $0 == 0
    ${Log} "Adding the service failed (error $3)"
  ${Else}
    ${Log} "Service ${SERVICE} added"
  ${EndIf}
  System::Call 'setupapi::SetupCloseInfFile(p r4)'

  ; Cameras already plugged in get the driver now; the others when plugged.
  System::Call 'newdev::UpdateDriverForPlugAndPlayDevicesW(p $HWNDPARENT, w "${HARDWARE_ID}", w "$INSTDIR\driver\tavrinoscope.inf", i 0, *i .r2) i .r0 ? e'
  Pop $3
  ${If} $0 != 0
    ${Log} "Installed on the cameras plugged in"
  ${Else}
    ${Log} "No camera plugged in (${HARDWARE_ID}): it gets the driver when plugged"
  ${EndIf}
FunctionEnd

; PathWithout: (path, entry) -> path with every ';'-separated entry equal to
; entry (case-insensitive) removed.
!macro PATH_WITHOUT un
Function ${un}PathWithout
  Exch $1      ; entry
  Exch
  Exch $0      ; path
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $5 ""        ; result
  loop:
    StrCmp $0 "" done
    StrCpy $2 0
    find:
      StrCpy $3 $0 1 $2
      StrCmp $3 "" found
      StrCmp $3 ";" found
      IntOp $2 $2 + 1
      Goto find
    found:
    StrCpy $4 $0 $2            ; this entry
    IntOp $2 $2 + 1
    StrCpy $0 $0 "" $2         ; the rest
    StrCmp $4 "" loop
    StrCmp $4 $1 loop          ; StrCmp ignores case
    StrCmp $5 "" 0 +3
      StrCpy $5 $4
      Goto loop
    StrCpy $5 "$5;$4"
    Goto loop
  done:
  StrCpy $0 $5
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro PATH_WITHOUT ""
!insertmacro PATH_WITHOUT "un."

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  SetRegView 64
  ; The service and the image it ran, then the package in the driver store.
  ReadRegStr $1 HKLM "System\CurrentControlSet\Services\${SERVICE}" "ImagePath"
  nsExec::ExecToLog '"$SYSDIR\sc.exe" stop ${SERVICE}'
  Pop $0
  nsExec::ExecToLog '"$SYSDIR\sc.exe" delete ${SERVICE}'
  Pop $0
  DeleteRegKey HKLM "System\CurrentControlSet\Services\${SERVICE}"
  ReadRegStr $2 HKLM "${UNINSTALL_KEY}" "DriverStoreInf"
  ${If} $2 != ""
    ; SUOI_FORCEDELETE: even while a camera still uses it. The driver store
    ; takes the image in its folder with the package.
    System::Call 'setupapi::SetupUninstallOEMInfW(w "$2", i 1, p 0) i .r0'
  ${EndIf}
  ; An image the service ran from outside the driver store (where a system
  ; without one puts DIRID 13) goes too.
  ${If} $1 != ""
    ExpandEnvStrings $1 $1
    StrCpy $2 $1 12
    ${If} $2 == "\SystemRoot\"
      StrCpy $1 $1 "" 12
      StrCpy $1 "$WINDIR\$1"
    ${EndIf}
    ${UnStrStr} $2 $1 "\DriverStore\"
    ${If} $2 == ""
      Delete $1
    ${EndIf}
  ${EndIf}

  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "AddedToPath"
  ${If} $1 != ""
    ReadRegStr $0 HKCU "Environment" "Path"
    Push "$0"
    Push "$1"
    Call un.PathWithout
    Pop $0
    ${If} $0 == ""
      DeleteRegValue HKCU "Environment" "Path"
    ${Else}
      WriteRegExpandStr HKCU "Environment" "Path" "$0"
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  ${EndIf}

  RMDir /r "$INSTDIR\driver"
  RMDir /r "$INSTDIR\bin"
  RMDir /r "$INSTDIR\sdk"
  RMDir /r "$INSTDIR\python"
  RMDir /r "$INSTDIR\examples"
  RMDir /r "$INSTDIR\docs"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

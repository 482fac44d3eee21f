; Release 1.2.0's installer, kept as it was but for these lines: the Windows
; tests build it to install 1.2.0, then install this release over it, and
; check that one uninstall leaves nothing behind.
; The per-user Windows installer: no administrator rights. It puts
; wpan2pcap.exe, the README and the licence in the user's programs folder and
; that folder on the user's PATH, wpan2pcap-extcap.exe in the user's
; Wireshark extcap folder, and an uninstaller that removes exactly what was
; installed (folders and the PATH entry only if it made them).
;   makensis -DVERSION=... -DBUILD_DIR=... -DSOURCE_DIR=... -DOUTFILE=... installer.nsi

; The programs are x86-64, and so is the installer.
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
${StrStr}
${UnStrRep}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap"
!define EXTCAP_DIR "$APPDATA\Wireshark\extcap"

Name "wpan2pcap ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\wpan2pcap"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
    ; What existed before is left as it is by the uninstaller.
    ${GetParent} "$INSTDIR" $0
    ${IfNot} ${FileExists} "$0\*.*"
        WriteRegStr HKCU "${UNINSTALL_KEY}" "MadeParentFolder" "$0"
    ${EndIf}
    ${IfNot} ${FileExists} "$APPDATA\Wireshark\*.*"
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "MadeWiresharkFolder" 1
    ${EndIf}
    ${IfNot} ${FileExists} "${EXTCAP_DIR}\*.*"
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "MadeExtcapFolder" 1
    ${EndIf}

    SetOutPath "$INSTDIR"
    File "${BUILD_DIR}\wpan2pcap.exe"
    File "/oname=README.md" "${SOURCE_DIR}\README.md"
    File "/oname=LICENSE.txt" "${SOURCE_DIR}\LICENSE"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    SetOutPath "${EXTCAP_DIR}"
    File "${BUILD_DIR}\wpan2pcap-extcap.exe"
    SetOutPath "$INSTDIR"

    ; The user's PATH, so that wpan2pcap runs from any console opened later.
    ReadRegStr $0 HKCU "Environment" "Path"
    ${StrStr} $1 ";$0;" ";$INSTDIR;"
    ${If} $0 == ""
        WriteRegExpandStr HKCU "Environment" "Path" "$INSTDIR"
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "MadePath" 1
    ${ElseIf} $1 == ""
        WriteRegExpandStr HKCU "Environment" "Path" "$0;$INSTDIR"
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "AddedToPath" 1
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=500

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "wpan2pcap"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "the wpan2pcap authors"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Delete "$INSTDIR\wpan2pcap.exe"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "MadeParentFolder"
    ${If} $0 != ""
        RMDir "$0"
    ${EndIf}
    Delete "${EXTCAP_DIR}\wpan2pcap-extcap.exe"
    ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "MadeExtcapFolder"
    ${If} $0 == 1
        RMDir "${EXTCAP_DIR}"
    ${EndIf}
    ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "MadeWiresharkFolder"
    ${If} $0 == 1
        RMDir "$APPDATA\Wireshark"
    ${EndIf}

    ReadRegDWORD $1 HKCU "${UNINSTALL_KEY}" "MadePath"
    ReadRegDWORD $2 HKCU "${UNINSTALL_KEY}" "AddedToPath"
    ReadRegStr $0 HKCU "Environment" "Path"
    ${If} $1 == 1
    ${AndIf} $0 == "$INSTDIR"
        DeleteRegValue HKCU "Environment" "Path"
    ${ElseIf} $1 == 1
    ${OrIf} $2 == 1
        ${UnStrRep} $0 ";$0;" ";$INSTDIR;" ";"
        ${UnStrRep} $0 "$0" ";;" ";"
        StrCpy $0 "$0" "" 1  ; the leading ";"
        StrCpy $0 "$0" -1    ; the trailing ";"
        WriteRegExpandStr HKCU "Environment" "Path" "$0"
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=500

    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

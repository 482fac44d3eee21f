; The per-user Windows installer: no administrator rights. It puts
; wpan2pcap.exe, the README, the licence and a copy of the file reader in the
; user's programs folder and that folder on the user's PATH,
; wpan2pcap-extcap.exe in the user's Wireshark extcap folder, the file reader
; wpan2pcap.lua in the user's Wireshark plugin folder, and an uninstaller that
; removes exactly what was installed: every folder it made and none other,
; and its own PATH entry, every other entry left as it was. A wpan2pcap.lua
; of the user's own in the plugin folder (one copied there by hand, perhaps
; edited) is kept aside as wpan2pcap.lua.kept and put back by the
; uninstaller, which removes the reader only as it wrote it. The PATH is changed by path_entry.exe,
; which it carries: NSIS's strings hold 1,023 characters, and a PATH read
; into one would come back cut, or empty. There is one installation: an
; install over an existing one (1.2.0's too) goes into its folder and keeps
; its record of what it made, so one uninstall always leaves nothing behind.
;   makensis -DVERSION=... -DFILES_DIR=... -DCARRIED_DIR=... -DOUTFILE=... installer.nsi
; FILES_DIR holds the shipped files under their shipped names, CARRIED_DIR
; path_entry.exe.

; The programs are x86-64, and so is the installer.
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "StrFunc.nsh"
${StrStr}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap"
!define EXTCAP_DIR "$APPDATA\Wireshark\extcap"
!define PLUGINS_DIR "$APPDATA\Wireshark\plugins"
!define READER "${PLUGINS_DIR}\wpan2pcap.lua"
!define KEPT_READER "${PLUGINS_DIR}\wpan2pcap.lua.kept"

Name "wpan2pcap ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\wpan2pcap"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

Var installed_before ; the folder of an existing installation, or nothing

Page directory skip_when_installed refuse_a_folder_with_a_semicolon
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    ; Installed already (by any version): updated where it is.
    ReadRegStr $installed_before HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $installed_before != ""
        StrCpy $INSTDIR $installed_before
    ${EndIf}
    ; A silent install learns of a folder it cannot take by its exit status.
    ${StrStr} $0 "$INSTDIR" ";"
    ${If} $0 != ""
        MessageBox MB_ICONSTOP "The folder $INSTDIR holds a semicolon, which separates the PATH's entries: choose another." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
FunctionEnd

Function skip_when_installed
    ${If} $installed_before != ""
        Abort
    ${EndIf}
FunctionEnd

Function refuse_a_folder_with_a_semicolon
    ${StrStr} $0 "$INSTDIR" ";"
    ${If} $0 != ""
        MessageBox MB_ICONSTOP "The folder $INSTDIR holds a semicolon, which separates the PATH's entries: choose another."
        Abort
    ${EndIf}
FunctionEnd

; Whether the files $R0 and $R1 hold the same bytes: $R2 is 1 if so, else 0
; (also when either cannot be read). The $R registers: $0 to $9 are the
; section's.
!macro SameFile un
Function ${un}same_file
    StrCpy $R2 0
    ClearErrors
    FileOpen $R5 "$R0" r
    ${If} ${Errors}
        Return
    ${EndIf}
    FileOpen $R6 "$R1" r
    ${If} ${Errors}
        FileClose $R5
        Return
    ${EndIf}
    FileSeek $R5 0 END $R7
    FileSeek $R6 0 END $R8
    ${If} $R7 == $R8
        FileSeek $R5 0 SET
        FileSeek $R6 0 SET
        StrCpy $R2 1
        ${DoWhile} $R7 > 0
            FileReadByte $R5 $R8
            FileReadByte $R6 $R9
            ${If} $R8 != $R9
                StrCpy $R2 0
                ${Break}
            ${EndIf}
            IntOp $R7 $R7 - 1
        ${Loop}
    ${EndIf}
    FileClose $R5
    FileClose $R6
FunctionEnd
!macroend
!insertmacro SameFile ""
!insertmacro SameFile "un."

; Records, under the uninstall key, each folder from $0 up that does not
; exist yet and so is about to be made (MadeFolder0, 1, ...; $2 counts them).
!macro RecordFoldersToMake
    ${Do}
        ${If} $0 == ""
        ${OrIf} ${FileExists} "$0\*.*"
            ${ExitDo}
        ${EndIf}
        WriteRegStr HKCU "${UNINSTALL_KEY}" "MadeFolder$2" "$0"
        IntOp $2 $2 + 1
        ${GetParent} "$0" $0
    ${Loop}
!macroend

Section
    ${If} $installed_before != ""
        DetailPrint "wpan2pcap is installed in $INSTDIR already: it is updated there."
    ${EndIf}
    ; What existed before is left as it is by the uninstaller: each folder
    ; about to be made is recorded (after what an earlier install recorded,
    ; which is kept). Over 1.2.0, that version's record is carried over
    ; first: it made the program's folder (its uninstaller removed that
    ; whenever empty), and recorded the folders around it under other names.
    StrCpy $2 0
    ${Do}
        ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "MadeFolder$2"
        ${If} $0 == ""
            ${ExitDo}
        ${EndIf}
        IntOp $2 $2 + 1
    ${Loop}
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $1 == "1.2.0"
        WriteRegStr HKCU "${UNINSTALL_KEY}" "MadeFolder$2" "$INSTDIR"
        IntOp $2 $2 + 1
        ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "MadeParentFolder"
        ${If} $0 != ""
            WriteRegStr HKCU "${UNINSTALL_KEY}" "MadeFolder$2" "$0"
            IntOp $2 $2 + 1
        ${EndIf}
        ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "MadeExtcapFolder"
        ${If} $0 == 1
            WriteRegStr HKCU "${UNINSTALL_KEY}" "MadeFolder$2" "${EXTCAP_DIR}"
            IntOp $2 $2 + 1
        ${EndIf}
        ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "MadeWiresharkFolder"
        ${If} $0 == 1
            WriteRegStr HKCU "${UNINSTALL_KEY}" "MadeFolder$2" "$APPDATA\Wireshark"
            IntOp $2 $2 + 1
        ${EndIf}
        DeleteRegValue HKCU "${UNINSTALL_KEY}" "MadeParentFolder"
        DeleteRegValue HKCU "${UNINSTALL_KEY}" "MadeExtcapFolder"
        DeleteRegValue HKCU "${UNINSTALL_KEY}" "MadeWiresharkFolder"
    ${EndIf}

    ; Wireshark's Lua file reader, for File > Open of a record capture, goes
    ; where a user may have copied one by hand. The one there is this
    ; installation's when it wrote it and it is as written (the copy in the
    ; program's folder tells; 1.4.0 kept none, and wrote it whatever was
    ; there); any other is the user's, kept aside, never replaced unsaid.
    StrCpy $R4 1 ; the reader is to be written
    ${If} ${FileExists} "${READER}"
        ReadRegDWORD $R1 HKCU "${UNINSTALL_KEY}" "WroteReader"
        ReadRegStr $R3 HKCU "${UNINSTALL_KEY}" "DisplayVersion"
        StrCpy $R2 0
        ${If} $R1 == 1
            StrCpy $R0 "${READER}"
            StrCpy $R1 "$INSTDIR\wpan2pcap.lua"
            Call same_file
        ${ElseIf} $R3 == "1.4.0"
            StrCpy $R2 1
        ${EndIf}
        ${If} $R2 != 1
            ${If} ${FileExists} "${KEPT_READER}"
                StrCpy $R4 0
                DetailPrint "Your own ${READER} is kept as it is (an earlier one is kept as ${KEPT_READER}); this release's file reader is $INSTDIR\wpan2pcap.lua: copy it over yours to use it."
            ${Else}
                Rename "${READER}" "${KEPT_READER}"
                WriteRegDWORD HKCU "${UNINSTALL_KEY}" "KeptReader" 1
                DetailPrint "Your own ${READER} is kept as ${KEPT_READER}; the uninstaller puts it back."
            ${EndIf}
        ${EndIf}
    ${EndIf}

    StrCpy $0 "$INSTDIR"
    !insertmacro RecordFoldersToMake
    SetOutPath "$INSTDIR"
    File "${FILES_DIR}\wpan2pcap.exe"
    File "${FILES_DIR}\README.md"
    File "${FILES_DIR}\LICENSE.txt"
    File "${FILES_DIR}\wpan2pcap.lua"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    StrCpy $0 "${EXTCAP_DIR}"
    !insertmacro RecordFoldersToMake
    SetOutPath "${EXTCAP_DIR}"
    File "${FILES_DIR}\wpan2pcap-extcap.exe"
    ${If} $R4 == 1
        StrCpy $0 "${PLUGINS_DIR}"
        !insertmacro RecordFoldersToMake
        SetOutPath "${PLUGINS_DIR}"
        File "${FILES_DIR}\wpan2pcap.lua"
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "WroteReader" 1
    ${Else}
        DeleteRegValue HKCU "${UNINSTALL_KEY}" "WroteReader"
    ${EndIf}

    ; The user's PATH, so that wpan2pcap runs from any console opened later.
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "${CARRIED_DIR}\path_entry.exe"
    ; (A PATH that would grow too long is left alone: the details say to
    ; add the folder by hand.)
    nsExec::ExecToLog '"$PLUGINSDIR\path_entry.exe" add "$INSTDIR"'
    Pop $0
    ${If} $0 == 3
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "MadePath" 1
    ${ElseIf} $0 == 0
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "AddedToPath" 1
    ${EndIf}
    SetOutPath "$INSTDIR"

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
    ; The file reader only as it was written (a reader the user edited
    ; since stays), then the user's own put back.
    ReadRegDWORD $R1 HKCU "${UNINSTALL_KEY}" "WroteReader"
    ${If} $R1 == 1
        StrCpy $R0 "${READER}"
        StrCpy $R1 "$INSTDIR\wpan2pcap.lua"
        Call un.same_file
        ${If} $R2 == 1
            Delete "${READER}"
        ${EndIf}
    ${EndIf}
    ReadRegDWORD $R1 HKCU "${UNINSTALL_KEY}" "KeptReader"
    ${If} $R1 == 1
    ${AndIf} ${FileExists} "${KEPT_READER}"
    ${AndIfNot} ${FileExists} "${READER}"
        Rename "${KEPT_READER}" "${READER}"
    ${EndIf}
    Delete "$INSTDIR\wpan2pcap.exe"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\wpan2pcap.lua"
    Delete "$INSTDIR\uninstall.exe"
    Delete "${EXTCAP_DIR}\wpan2pcap-extcap.exe"

    ; Its PATH entry, and the PATH itself if it made it and nothing else is
    ; in it now.
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "${CARRIED_DIR}\path_entry.exe"
    ReadRegDWORD $1 HKCU "${UNINSTALL_KEY}" "MadePath"
    ReadRegDWORD $2 HKCU "${UNINSTALL_KEY}" "AddedToPath"
    ${If} $1 == 1
        nsExec::ExecToLog '"$PLUGINSDIR\path_entry.exe" remove "$INSTDIR" made'
        Pop $0
    ${ElseIf} $2 == 1
        nsExec::ExecToLog '"$PLUGINSDIR\path_entry.exe" remove "$INSTDIR"'
        Pop $0
    ${EndIf}
    SetOutPath "$TEMP"

    ; Every folder it made, each destination's deepest first; none holds
    ; anything of ours now, and a folder that holds anything else stays. A
    ; folder that two destinations share (Wireshark's, for the extcap and the
    ; plugin folders) empties only once both are gone: the list is gone
    ; through again while a pass removes anything.
    ${Do}
        StrCpy $3 0 ; folders removed in this pass
        StrCpy $2 0
        ${Do}
            ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "MadeFolder$2"
            ${If} $0 == ""
                ${ExitDo}
            ${EndIf}
            ${If} ${FileExists} "$0\*.*"
                RMDir "$0"
                ${IfNot} ${FileExists} "$0\*.*"
                    IntOp $3 $3 + 1
                ${EndIf}
            ${EndIf}
            IntOp $2 $2 + 1
        ${Loop}
    ${LoopUntil} $3 == 0

    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

#!/usr/bin/env bash
# Cross-compiles the Windows executables, the installer and the zip, runs
# the end-to-end tests and the extcap tests against them under Wine, checks
# the PATH helper's own table, and installs and uninstalls the installer
# there in every way a user may.
#   tools/run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS
set -euo pipefail
cd "$(dirname "$0")/.."
tests=${1:?usage: run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS}
extcap_tests=${2:?usage: run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS}

missing=
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=" g++-mingw-w64-x86-64-posix"
command -v wine >/dev/null || missing+=" wine"
command -v makensis >/dev/null || missing+=" nsis"
command -v python3 >/dev/null || missing+=" python3"
if [ -n "$missing" ]; then
    echo "not installed:$missing (apt-get install$missing); Windows build not tested"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

cmake --workflow --preset windows

# A Wine prefix of our own, quiet, with no offer to install .NET or a browser.
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 # non-ASCII paths reach the program as the right wide characters
if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true # one that an interrupted run left behind
else
    wineboot --init >/dev/null 2>&1 || true
fi
# One Wine server for the whole run. Wine otherwise stops its server as each
# program ends, and a program started at that moment can fail to start
# ("wine client error:0: recvmsg: Connection reset by peer", status 1): about
# one start in four hundred here, which made a test fail now and then.
wineserver -w # until the server that prepared the prefix, or was stopped, is gone
wineserver -p
# Whichever prefix is in use when the run ends (an interrupted one too), its
# server goes, and so does this one's.
trap 'wineserver -k 2>/dev/null || true; WINEPREFIX="$PWD/build/windows/wine" wineserver -k 2>/dev/null || true' EXIT
# Wine's own services start with the first program and then stay as long as
# the server: started here, they hold no test's console open.
wine cmd /c exit </dev/null >/dev/null 2>&1

status=0
# Only the failures and the totals: they stay in view in a shortened log.
export GTEST_BRIEF=1
export WPAN2PCAP_PIPE_PEER="$PWD/build/windows/pipe_peer.exe"
WPAN2PCAP_EXE="$PWD/build/windows/wpan2pcap.exe" WPAN2PCAP_LAUNCHER=wine "$tests" || status=$?
# Not for Windows: tshark and sshdump drive the Linux build; a POSIX named
# pipe is released on an error. (The control pipes' rows run, the pipe peer
# making them as Wireshark does.)
WPAN2PCAP_EXTCAP_EXE="$PWD/build/windows/wpan2pcap-extcap.exe" WPAN2PCAP_LAUNCHER=wine "$extcap_tests" \
    --gtest_filter='-with_tshark.*:with_ssh.*:extcap_capture.opens_and_closes_the_pipe_on_an_error' || status=$?
wineserver -k 2>/dev/null || true

registry_file=$PWD/tools/windows/registry_file.py
version=$(sed -n 's/^project(wpan2pcap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# A fresh prefix of its own for each check, as a user's account is, with
# one Wine server for the whole check (as above) and Wine's services started.
new_prefix() {
    WINEPREFIX=$(mktemp -d)/prefix
    export WINEPREFIX
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
    wineserver -p
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    users="$WINEPREFIX/drive_c/users/$(id -un)"
}
# NSIS's uninstaller runs on from a copy of itself in the temporary folder:
# until that copy (of this prefix: another suite may run beside) has ended.
wait_for_uninstaller() {
    local tries pid ours
    for tries in $(seq 600); do
        ours=
        for pid in $(pgrep -f 'nsu.*\.tmp.Un' || true); do
            grep -qz "^WINEPREFIX=$WINEPREFIX\$" "/proc/$pid/environ" 2>/dev/null && ours=yes
        done
        [ -z "$ours" ] && return 0
        sleep 0.1
    done
    echo "the uninstaller did not end"
}
end_prefix() {
    wineserver -k 2>/dev/null || true
    rm -rf "$(dirname "$WINEPREFIX")"
}

# A registry key's values, read from the file `reg export` writes: a console
# can carry Wine's own messages, and Wine's tools sometimes crash on a busy
# machine, so a failed export is tried again; a key that is not there gives
# nothing.
registry_values() {
    local tries errors
    for tries in 1 2 3 4 5 6; do
        rm -f "$WINEPREFIX/drive_c/export.reg"
        if errors=$(wine reg export "$1" 'C:\export.reg' /y 2>&1 >/dev/null); then
            python3 "$registry_file" show "$WINEPREFIX/drive_c/export.reg"
            return 0
        fi
        case $errors in *"Unable to find the specified registry key"*) return 0 ;; esac
        sleep 1
    done
    echo "could not export $1: $errors"
}
# The user's PATH: its type and value, or "none".
user_path() {
    registry_values 'HKCU\Environment' | sed -n 's/^\[HKEY_CURRENT_USER\\Environment\] Path=//p' | grep . || echo none
}
# Sets it whatever its length (a command line holds at most 32,767
# characters), or takes it away with "none".
set_user_path() {
    wine reg delete 'HKCU\Environment' /v Path /f >/dev/null 2>&1 || true
    [ "$1" = none ] && return 0
    python3 "$registry_file" make 'HKEY_CURRENT_USER\Environment' Path "$1" "$2" "$WINEPREFIX/drive_c/import.reg"
    wine reg import 'C:\import.reg' >/dev/null 2>&1
}
# What a user's account holds that the installer may touch: the files, the
# folders of drive C:, the environment and the record of installed programs.
snapshot() {
    (cd "$users" && find . -path ./Temp -prune -o -print | sort)
    ls "$WINEPREFIX/drive_c" | grep -vE '^(export|import)\.reg$'
    registry_values 'HKCU\Environment'
    registry_values 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap'
}
# Taken until two in a row agree: Wine may still be settling a file or key
# of its own when a check begins, and on a loaded machine it settles late.
stable_snapshot() {
    local previous current tries
    previous=$(snapshot)
    for tries in 1 2 3 4 5 6 7 8 9 10; do
        current=$(snapshot)
        [ "$current" = "$previous" ] && break
        previous=$current
        sleep 1
    done
    echo "$current"
}

# The PATH helper's own table, in a fresh prefix: the PATH's type and value
# before, the action, and the exit status and the PATH after ("same": as
# before; "appended": with the folder at its end). The folder is never added
# twice, in any case or spelling; the last entry that names it is the one
# taken away; the type is kept; a PATH that is not text, or would grow past
# what Windows allows, is left alone.
check_path_entry() {
    local failed=0 type before action folder extra want_exit want_type want_after was got after want
    while IFS='|' read -r type before action folder extra want_exit want_type want_after; do
        set_user_path "$type" "$before"
        was=$(user_path)
        got=0
        # shellcheck disable=SC2086 # the optional word "made"
        wine build/windows/path_entry.exe "$action" "$folder" $extra >/dev/null 2>&1 || got=$?
        after=$(user_path)
        case $want_type in
        same) want=$was ;;
        appended) want="$was;$folder" ;;
        none) want=none ;;
        *) want="$want_type $want_after" ;;
        esac
        if [ "$got" = "$want_exit" ] && [ "$after" = "$want" ]; then
            echo "path_entry $action $folder $extra on ${was:0:50}: exit $got, ${after:0:50}"
        else
            echo "FAIL: path_entry $action $folder $extra on ${was:0:60}: exit $got, ${after:0:80}; wanted exit $want_exit, ${want:0:80}"
            failed=1
        fi
    done <<'ROWS'
none||add|C:\x||3|REG_EXPAND_SZ|C:\x
none||remove|C:\x|made|4|none|
REG_EXPAND_SZ|C:\x|remove|C:\x|made|0|none|
REG_EXPAND_SZ|C:\a;C:\x|remove|C:\x|made|0|REG_EXPAND_SZ|C:\a
REG_EXPAND_SZ|C:\a;C:\x|add|C:\x||4|same|
REG_EXPAND_SZ|C:\a;c:\X;C:\b|add|C:\x||4|same|
REG_EXPAND_SZ|C:\a;C:\x\|add|C:\x||4|same|
REG_EXPAND_SZ|C:\a;"C:\x"|add|C:\x||4|same|
REG_SZ|C:\a|add|C:\x||0|REG_SZ|C:\a;C:\x
REG_EXPAND_SZ|%USERPROFILE%\bin|add|C:\x||0|REG_EXPAND_SZ|%USERPROFILE%\bin;C:\x
REG_EXPAND_SZ|C:\x;C:\a;C:\x|remove|C:\x||0|REG_EXPAND_SZ|C:\x;C:\a
REG_SZ|C:\a;C:\X\;C:\b|remove|C:\x||0|REG_SZ|C:\a;C:\b
REG_EXPAND_SZ|C:\a|remove|C:\x||4|same|
REG_BINARY|43003a005c006100|add|C:\x||1|same|
REG_BINARY|43003a005c006100|remove|C:\x||1|same|
REG_EXPAND_SZ|long:32763|add|C:\x||5|same|
REG_EXPAND_SZ|long:32762|add|C:\x||0|appended|
REG_EXPAND_SZ|C:\a|add|C:\my;tools||1|same|
ROWS
    return $failed
}

# The installer, silently into a prefix of its own, as a user without
# administrator rights: the files where they belong, the program on the
# user's PATH, the Help link at the installed README; then the uninstaller,
# which must leave the prefix as it was. The user's PATH is kept byte for
# byte whatever its length: none, short, of about 1,000 characters, of 1,759
# (past the 1,023 that NSIS's own strings hold), grown past that after the
# install, or so near Windows' limit that the folder does not fit. A folder
# three levels deep is made, and all three are taken away; a folder whose
# name holds ";" is refused; a second install goes into the first's folder;
# an install over 1.2.0's, and another tool's README beside the extcap, leave
# nothing behind either. (NSIS runs an uninstaller from a copy in the
# temporary folder, which Windows deletes at the next start: the temporary
# folder is not compared.)
check_installer() {
    local before after path_before path_after programs extcap plugins folder count usage help code
    entries() { python3 -c "import sys; print(';'.join('C:\\\\Tools\\\\dir%03d' % i for i in range(int(sys.argv[1]))))" "$1"; }
    install() { # runs the installer, and checks what it put where
        wine "build/windows/wpan2pcap-$version-setup.exe" /S "$@"
        for file in "$programs/wpan2pcap.exe" "$programs/README.md" "$programs/LICENSE.txt" "$programs/uninstall.exe" \
                    "$extcap/wpan2pcap-extcap.exe" "$plugins/wpan2pcap.lua"; do
            [ -f "$file" ] || { echo "FAIL: the installer did not install ${file#$WINEPREFIX/}"; return 1; }
        done
        cmp -s "$plugins/wpan2pcap.lua" wireshark_file_reader/wpan2pcap.lua || { echo "FAIL: the installed file reader differs"; return 1; }
        [ -z "$(ls "$programs" | grep -vE '^(wpan2pcap.exe|README.md|LICENSE.txt|wpan2pcap.lua|uninstall.exe)$')" ] ||
            { echo "FAIL: more than the five files installed: $(ls "$programs")"; return 1; }
        cmp -s "$programs/wpan2pcap.exe" build/windows/wpan2pcap.exe || { echo "FAIL: installed wpan2pcap.exe differs"; return 1; }
    }
    uninstall() { wine "$programs/uninstall.exe" /S && wait_for_uninstaller; }
    left_as_before() { # $1: what the prefix held before
        after=$(stable_snapshot)
        [ "$1" = "$after" ] && return 0
        echo "FAIL: the prefix was left changed ($2):"
        diff <(echo "$1") <(echo "$after") || true
        return 1
    }
    help_link() { wine "$extcap/wpan2pcap-extcap.exe" --extcap-interfaces 2>/dev/null | tr -d '\r' | sed -n 's/.*{help=\([^}]*\)}.*/\1/p'; }
    windows_folder() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }
    programs="$users/AppData/Local/Programs/wpan2pcap" extcap="$users/AppData/Roaming/Wireshark/extcap"
    plugins="$users/AppData/Roaming/Wireshark/plugins"
    before=$(stable_snapshot)

    # No PATH before: the installer makes it, and takes it away again.
    install || return 1
    for file in "$programs/wpan2pcap.exe" "$programs/README.md" "$programs/LICENSE.txt" "$programs/uninstall.exe" \
                "$extcap/wpan2pcap-extcap.exe" "$plugins/wpan2pcap.lua"; do
        echo "installed: ${file#$users/}"
    done
    folder=$(windows_folder "$programs")
    path_after=$(user_path)
    [ "$path_after" = "REG_EXPAND_SZ $folder" ] || { echo "FAIL: the new PATH is not the program's folder: $path_after"; return 1; }
    # A console opened after the install finds the program by its name.
    usage=$(wine cmd /c wpan2pcap 2>/dev/null | tr -d '\r' || true) # its status is the usage error's
    [[ "$usage" == "The function requires exactly two arguments"* ]] ||
        { echo "FAIL: wpan2pcap is not found on the PATH: $usage"; return 1; }
    registry_values 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' | grep -q "DisplayVersion=REG_SZ $version" ||
        { echo "FAIL: not listed among the installed programs"; return 1; }
    # Wireshark's Help button opens the README beside the program.
    help=$(help_link)
    [ "$help" = "file:///$(echo "$folder" | tr '\\' /)/README.md" ] || { echo "FAIL: the help link is $help"; return 1; }
    echo "the help link names the installed README: $help"
    uninstall
    left_as_before "$before" "no PATH before" || return 1
    echo "the installer installed and the uninstaller removed exactly that"

    # An existing PATH, short, of about 1,000 characters and of 1,759.
    for count in 2 63 110; do
        path_before=$(entries "$count")
        set_user_path REG_EXPAND_SZ "$path_before"
        install || return 1
        path_after=$(user_path)
        [ "$path_after" = "REG_EXPAND_SZ $path_before;$folder" ] ||
            { echo "FAIL: a PATH of ${#path_before} characters became: ${path_after:0:200}..."; return 1; }
        uninstall
        path_after=$(user_path)
        [ "$path_after" = "REG_EXPAND_SZ $path_before" ] ||
            { echo "FAIL: a PATH of ${#path_before} characters was left as: ${path_after:0:200}..."; return 1; }
        echo "a PATH of ${#path_before} characters: the folder added at its end, then taken away, the rest byte for byte"
    done
    # A PATH grown past 1,023 characters after the install.
    path_before=$(entries 2)
    set_user_path REG_EXPAND_SZ "$path_before"
    install || return 1
    set_user_path REG_EXPAND_SZ "$(entries 110);$(user_path | sed 's/^REG_EXPAND_SZ //')"
    uninstall
    path_after=$(user_path)
    [ "$path_after" = "REG_EXPAND_SZ $(entries 110);$path_before" ] ||
        { echo "FAIL: a PATH grown after the install was left as: ${path_after:0:200}..."; return 1; }
    echo "a PATH grown to $(( ${#path_before} + 1 + $(entries 110 | wc -c) - 1 )) characters after the install: only the folder taken away"
    # A PATH so near Windows' limit that the folder would take it past: left
    # as it is, by the install and the uninstall.
    set_user_path REG_EXPAND_SZ long:32723
    path_before=$(user_path)
    install || return 1
    [ "$(user_path)" = "$path_before" ] || { echo "FAIL: a PATH of 32,723 characters was changed by the install"; return 1; }
    uninstall
    [ "$(user_path)" = "$path_before" ] || { echo "FAIL: a PATH of 32,723 characters was changed by the uninstall"; return 1; }
    echo "a PATH of 32,723 characters, which the folder would take past 32,767: left as it was"
    set_user_path none
    left_as_before "$before" "PATHs kept" || return 1

    # A folder three levels deep, none of them there before.
    wine "build/windows/wpan2pcap-$version-setup.exe" /S '/D=C:\a\b\c'
    [ -f "$WINEPREFIX/drive_c/a/b/c/wpan2pcap.exe" ] || { echo "FAIL: /D=C:\a\b\c did not install there"; return 1; }
    wine 'C:\a\b\c\uninstall.exe' /S && wait_for_uninstaller
    [ ! -e "$WINEPREFIX/drive_c/a" ] || { echo "FAIL: the uninstaller left $(cd "$WINEPREFIX/drive_c" && find a)"; return 1; }
    echo "installed into C:\a\b\c, made three folders, and the uninstaller took all three away"

    # A folder whose name holds the PATH's separator: refused, nothing done.
    code=0
    wine "build/windows/wpan2pcap-$version-setup.exe" /S '/D=C:\my;tools\wpan2pcap' || code=$?
    [ "$code" != 0 ] || { echo "FAIL: a folder whose name holds ; was not refused"; return 1; }
    left_as_before "$before" "a folder with ;" || return 1
    echo "a folder whose name holds \";\" refused (exit status $code), nothing installed, the PATH untouched"

    # A second install into another folder goes into the first's: one
    # uninstall then leaves nothing.
    install || return 1
    install '/D=C:\elsewhere' || return 1
    [ ! -e "$WINEPREFIX/drive_c/elsewhere" ] || { echo "FAIL: a second install went into C:\elsewhere"; return 1; }
    [ "$(user_path)" = "REG_EXPAND_SZ $folder" ] || { echo "FAIL: a second install left the PATH as $(user_path)"; return 1; }
    uninstall
    left_as_before "$before" "a second install elsewhere" || return 1
    echo "a second install with /D=C:\\elsewhere updated the first's folder; one uninstall left nothing"

    # Another tool's README beside the extcap: the Help link is still this
    # program's, and the uninstaller leaves that file and its folders.
    mkdir -p "$extcap"
    echo "# another tool" > "$extcap/README.md"
    local with_readme
    with_readme=$(stable_snapshot)
    install || return 1
    help=$(help_link)
    [ "$help" = "file:///$(echo "$folder" | tr '\\' /)/README.md" ] || { echo "FAIL: beside another tool's README, the help link is $help"; return 1; }
    uninstall
    left_as_before "$with_readme" "another tool's README" || return 1
    rm -r "$users/AppData/Roaming/Wireshark"
    echo "another tool's README.md beside the extcap: the help link still $help; the uninstaller left that file"

    # A file reader of the user's own in the plugin folder (copied there by
    # hand, then edited): kept aside, and put back by the uninstaller.
    mkdir -p "$plugins"
    printf -- '-- a reader of my own\n' > "$plugins/wpan2pcap.lua"
    local with_own_reader
    with_own_reader=$(stable_snapshot)
    install || return 1
    [ "$(cat "$plugins/wpan2pcap.lua.kept" 2>/dev/null)" = "-- a reader of my own" ] ||
        { echo "FAIL: the user's own file reader was not kept aside: $(ls "$plugins")"; return 1; }
    uninstall
    left_as_before "$with_own_reader" "the user's own file reader" || return 1
    rm -r "$users/AppData/Roaming/Wireshark"
    echo "a file reader of the user's own: kept as wpan2pcap.lua.kept by the install, put back by the uninstall"
    # The installed reader, edited by the user: the uninstaller leaves it,
    # and its folders, and removes all else.
    install || return 1
    printf -- '-- edited\n' >> "$plugins/wpan2pcap.lua"
    local edited
    edited=$(cat "$plugins/wpan2pcap.lua")
    uninstall
    [ "$(cat "$plugins/wpan2pcap.lua" 2>/dev/null)" = "$edited" ] ||
        { echo "FAIL: the uninstaller removed a file reader the user had edited"; return 1; }
    rm -r "$users/AppData/Roaming/Wireshark"
    left_as_before "$before" "an installed reader edited" || return 1
    echo "the installed file reader, edited by the user: left by the uninstaller, with its folder"
    # Over 1.4.0's installation, which wrote the reader and recorded nothing
    # of it: that reader is replaced, not kept aside as the user's.
    install || return 1
    wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' /v WroteReader /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' /v DisplayVersion /d 1.4.0 /f >/dev/null 2>&1
    printf -- '-- 1.4.0 wrote this\n' > "$plugins/wpan2pcap.lua"
    install || return 1
    [ ! -e "$plugins/wpan2pcap.lua.kept" ] && cmp -s "$plugins/wpan2pcap.lua" "$programs/wpan2pcap.lua" ||
        { echo "FAIL: over 1.4.0, its file reader was not replaced: $(ls "$plugins")"; return 1; }
    uninstall
    left_as_before "$before" "an upgrade from 1.4.0" || return 1
    echo "1.4.0's file reader: replaced by this release's, and removed with it"

    # Over 1.2.0's installation, which recorded what it made otherwise: one
    # uninstall of this release leaves nothing.
    makensis -V2 -DVERSION=1.2.0 -DBUILD_DIR="$PWD/build/windows" -DSOURCE_DIR="$PWD" \
        -DOUTFILE="$PWD/build/windows/wpan2pcap-1.2.0-setup.exe" tests/windows/installer-1.2.0.nsi
    wine build/windows/wpan2pcap-1.2.0-setup.exe /S
    registry_values 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' | grep -q 'MadeParentFolder=' ||
        { echo "FAIL: 1.2.0's installer recorded no folder it made"; return 1; }
    install || return 1
    uninstall
    left_as_before "$before" "an upgrade from 1.2.0" || return 1
    echo "1.2.0 installed, this release installed over it, one uninstall: nothing left"
}

# The zip holds the same five files as the installation.
check_zip() {
    local listed
    listed=$(cmake -E tar tf "build/windows/wpan2pcap-$1-windows.zip" | sort | tr '\n' ' ')
    [ "$listed" = "wpan2pcap-$1-windows/LICENSE.txt wpan2pcap-$1-windows/README.md wpan2pcap-$1-windows/wpan2pcap-extcap.exe wpan2pcap-$1-windows/wpan2pcap.exe wpan2pcap-$1-windows/wpan2pcap.lua " ] ||
        { echo "FAIL: the zip holds $listed"; return 1; }
    echo "the zip holds: $listed"
}
# Each check in a prefix of its own, ended whatever the check found: a Wine
# server left running would hold this script's output open.
in_new_prefix() {
    local result=0
    new_prefix
    "$@" || result=$?
    end_prefix
    return $result
}
check_zip "$version" || status=1
in_new_prefix check_path_entry || status=1
in_new_prefix check_installer || status=1
exit $status

#!/usr/bin/env bash
# Cross-compiles the Windows executables, the installer and the zip, runs
# the end-to-end tests and the extcap tests against them under Wine, and
# installs and uninstalls the installer there.
#   tools/run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS
set -euo pipefail
cd "$(dirname "$0")/.."
tests=${1:?usage: run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS}
extcap_tests=${2:?usage: run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS}

missing=
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=" g++-mingw-w64-x86-64-posix"
command -v wine >/dev/null || missing+=" wine"
command -v makensis >/dev/null || missing+=" nsis"
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
trap 'WINEPREFIX="$PWD/build/windows/wine" wineserver -k 2>/dev/null || true' EXIT
# Wine's own services start with the first program and then stay as long as
# the server: started here, they hold no test's console open.
wine cmd /c exit </dev/null >/dev/null 2>&1

status=0
# Only the failures and the totals: they stay in view in a shortened log.
export GTEST_BRIEF=1
export WPAN2PCAP_PIPE_PEER="$PWD/build/windows/pipe_peer.exe"
WPAN2PCAP_EXE="$PWD/build/windows/wpan2pcap.exe" WPAN2PCAP_LAUNCHER=wine "$tests" || status=$?
# Not for Windows: tshark, sshdump and the control pipes' rows drive the
# Linux build; a POSIX named pipe is released on an error.
WPAN2PCAP_EXTCAP_EXE="$PWD/build/windows/wpan2pcap-extcap.exe" WPAN2PCAP_LAUNCHER=wine "$extcap_tests" \
    --gtest_filter='-with_tshark.*:with_ssh.*:*control_pipes*:extcap_capture.opens_and_closes_the_pipe_on_an_error' || status=$?
wineserver -k 2>/dev/null || true

# The installer, silently into a Wine prefix of its own, as a user without
# administrator rights: the files where they belong, the program on the
# user's PATH, the Help link at the installed README; then the uninstaller,
# which must leave the prefix as it was. The user's PATH is kept byte for
# byte whatever its length: none, short, of about 1,000 characters, of 1,759
# (past the 1,023 that NSIS's own strings hold), or grown past that after the
# install; a folder three levels deep is made, and all three are taken away.
# (NSIS runs an uninstaller from a copy in the temporary folder, which
# Windows deletes at the next start: the temporary folder is not compared.)
check_installer() {
    local version=$1 prefix users before after path_before path_after programs extcap
    export WINEPREFIX
    WINEPREFIX=$(mktemp -d)/prefix
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
    users="$WINEPREFIX/drive_c/users/$(id -un)"
    snapshot() { (cd "$users" && find . -path ./Temp -prune -o -print | sort; ls "$WINEPREFIX/drive_c") }
    registry() {
        wine reg query 'HKCU\Environment' 2>&1 | tr -d '\r'
        wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' 2>&1 | tr -d '\r'
    }
    # The user's PATH: its type and value, as the registry holds them.
    user_path() { wine reg query 'HKCU\Environment' /v Path 2>/dev/null | tr -d '\r' | sed -n 's/^ *Path *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p'; }
    set_user_path() { wine reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$1" /f >/dev/null 2>&1; }
    entries() { python3 -c "import sys; print(';'.join('C:\\\\Tools\\\\dir%03d' % i for i in range(int(sys.argv[1]))))" "$1"; }
    install() { # runs the installer, and checks what it put where
        wine "build/windows/wpan2pcap-$version-setup.exe" /S && wineserver -w
        for file in "$programs/wpan2pcap.exe" "$programs/README.md" "$programs/LICENSE.txt" "$programs/uninstall.exe" \
                    "$extcap/wpan2pcap-extcap.exe"; do
            [ -f "$file" ] || { echo "FAIL: the installer did not install ${file#$WINEPREFIX/}"; return 1; }
        done
        [ -z "$(ls "$programs" | grep -vE '^(wpan2pcap.exe|README.md|LICENSE.txt|uninstall.exe)$')" ] ||
            { echo "FAIL: more than the four files installed: $(ls "$programs")"; return 1; }
        cmp -s "$programs/wpan2pcap.exe" build/windows/wpan2pcap.exe || { echo "FAIL: installed wpan2pcap.exe differs"; return 1; }
    }
    uninstall() { wine "$programs/uninstall.exe" /S && wineserver -w; sleep 1; wineserver -w; }
    windows_folder() { wine winepath -w "$1" 2>/dev/null | tr -d '\r'; }
    programs="$users/AppData/Local/Programs/wpan2pcap" extcap="$users/AppData/Roaming/Wireshark/extcap"
    before=$(snapshot; registry)

    # No PATH before: the installer makes it, and takes it away again.
    install || return 1
    for file in "$programs/wpan2pcap.exe" "$programs/README.md" "$programs/LICENSE.txt" "$programs/uninstall.exe" \
                "$extcap/wpan2pcap-extcap.exe"; do
        echo "installed: ${file#$users/}"
    done
    local folder
    folder=$(windows_folder "$programs")
    path_after=$(user_path)
    [ "$path_after" = "REG_EXPAND_SZ $folder" ] || { echo "FAIL: the new PATH is not the program's folder: $path_after"; return 1; }
    # A console opened after the install finds the program by its name.
    local usage
    usage=$(wine cmd /c wpan2pcap 2>/dev/null | tr -d '\r' || true) # its status is the usage error's
    [[ "$usage" == "The function requires exactly two arguments"* ]] ||
        { echo "FAIL: wpan2pcap is not found on the PATH: $usage"; return 1; }
    wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' /v DisplayVersion 2>/dev/null |
        grep -q "$version" || { echo "FAIL: not listed among the installed programs"; return 1; }
    # Wireshark's Help button opens the README beside the program.
    local help
    help=$(wine "$extcap/wpan2pcap-extcap.exe" --extcap-interfaces 2>/dev/null | tr -d '\r' | sed -n 's/.*{help=\([^}]*\)}.*/\1/p')
    [ "$help" = "file:///$(echo "$folder" | tr '\\' /)/README.md" ] || { echo "FAIL: the help link is $help"; return 1; }
    echo "the help link names the installed README: $help"
    uninstall
    after=$(snapshot; registry)
    if [ "$before" != "$after" ]; then
        echo "FAIL: the uninstaller left the prefix changed:"
        diff <(echo "$before") <(echo "$after")
        return 1
    fi
    echo "the installer installed and the uninstaller removed exactly that"

    # An existing PATH, short, of about 1,000 characters and of 1,759.
    local count
    for count in 2 63 110; do
        path_before=$(entries "$count")
        set_user_path "$path_before"
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
    set_user_path "$path_before"
    install || return 1
    set_user_path "$(entries 110);$(user_path | sed 's/^REG_EXPAND_SZ //')"
    uninstall
    path_after=$(user_path)
    [ "$path_after" = "REG_EXPAND_SZ $(entries 110);$path_before" ] ||
        { echo "FAIL: a PATH grown after the install was left as: ${path_after:0:200}..."; return 1; }
    echo "a PATH grown to $(( ${#path_before} + 1 + $(entries 110 | wc -c) - 1 )) characters after the install: only the folder taken away"

    # A folder three levels deep, none of them there before.
    wine "build/windows/wpan2pcap-$version-setup.exe" /S '/D=C:\a\b\c' && wineserver -w
    [ -f "$WINEPREFIX/drive_c/a/b/c/wpan2pcap.exe" ] || { echo "FAIL: /D=C:\a\b\c did not install there"; return 1; }
    wine 'C:\a\b\c\uninstall.exe' /S && wineserver -w; sleep 1; wineserver -w
    [ ! -e "$WINEPREFIX/drive_c/a" ] || { echo "FAIL: the uninstaller left $(cd "$WINEPREFIX/drive_c" && find a)"; return 1; }
    echo "installed into C:\a\b\c, made three folders, and the uninstaller took all three away"

    wine reg delete 'HKCU\Environment' /v Path /f >/dev/null 2>&1
    after=$(snapshot; registry)
    if [ "$before" != "$after" ]; then
        echo "FAIL: the installs and uninstalls left the prefix changed:"
        diff <(echo "$before") <(echo "$after")
        return 1
    fi
    wineserver -k 2>/dev/null || true
    rm -rf "$(dirname "$WINEPREFIX")"
}

# The zip holds the same four files as the installation.
check_zip() {
    local listed
    listed=$(cmake -E tar tf "build/windows/wpan2pcap-$1-windows.zip" | sort | tr '\n' ' ')
    [ "$listed" = "wpan2pcap-$1-windows/ wpan2pcap-$1-windows/LICENSE.txt wpan2pcap-$1-windows/README.md wpan2pcap-$1-windows/wpan2pcap-extcap.exe wpan2pcap-$1-windows/wpan2pcap.exe " ] ||
        { echo "FAIL: the zip holds $listed"; return 1; }
    echo "the zip holds: $listed"
}
version=$(sed -n 's/^project(wpan2pcap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
check_zip "$version" || status=1
check_installer "$version" || status=1
exit $status

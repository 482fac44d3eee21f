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
# user's PATH; then the uninstaller, which must leave the prefix as it was.
# (NSIS runs an uninstaller from a copy in the temporary folder, which
# Windows deletes at the next start: the temporary folder is not compared.)
check_installer() {
    local version=$1 prefix users before after path
    export WINEPREFIX
    WINEPREFIX=$(mktemp -d)/prefix
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
    users="$WINEPREFIX/drive_c/users/$(id -un)"
    snapshot() { (cd "$users" && find . -path ./Temp -prune -o -print | sort) }
    registry() {
        wine reg query 'HKCU\Environment' 2>&1 | tr -d '\r'
        wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' 2>&1 | tr -d '\r'
    }
    before=$(snapshot; registry)

    wine "build/windows/wpan2pcap-$version-setup.exe" /S && wineserver -w
    local programs="$users/AppData/Local/Programs/wpan2pcap" extcap="$users/AppData/Roaming/Wireshark/extcap"
    for file in "$programs/wpan2pcap.exe" "$programs/README.md" "$programs/LICENSE.txt" "$programs/uninstall.exe" \
                "$extcap/wpan2pcap-extcap.exe"; do
        [ -f "$file" ] || { echo "FAIL: the installer did not install ${file#$users/}"; return 1; }
        echo "installed: ${file#$users/}"
    done
    cmp -s "$programs/wpan2pcap.exe" build/windows/wpan2pcap.exe || { echo "FAIL: installed wpan2pcap.exe differs"; return 1; }
    path=$(wine reg query 'HKCU\Environment' /v Path 2>/dev/null | tr -d '\r')
    grep -qi 'AppData\\Local\\Programs\\wpan2pcap' <<<"$path" || { echo "FAIL: not on the user's PATH: $path"; return 1; }
    # A console opened after the install finds the program by its name.
    local usage
    usage=$(wine cmd /c wpan2pcap 2>/dev/null | tr -d '\r' || true) # its status is the usage error's
    [[ "$usage" == "The function requires exactly two arguments"* ]] ||
        { echo "FAIL: wpan2pcap is not found on the PATH: $usage"; return 1; }
    wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\wpan2pcap' /v DisplayVersion 2>/dev/null |
        grep -q "$version" || { echo "FAIL: not listed among the installed programs"; return 1; }

    wine "$programs/uninstall.exe" /S && wineserver -w
    after=$(snapshot; registry)
    if [ "$before" != "$after" ]; then
        echo "FAIL: the uninstaller left the prefix changed:"
        diff <(echo "$before") <(echo "$after")
        return 1
    fi
    echo "the installer installed and the uninstaller removed exactly that"
    wineserver -k 2>/dev/null || true
    rm -rf "$(dirname "$WINEPREFIX")"
}
version=$(sed -n 's/^project(wpan2pcap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
check_installer "$version" || status=1
exit $status

#!/usr/bin/env bash
# Cross-compiles the Windows executables and runs the end-to-end tests and
# the extcap tests against them under Wine.
#   tools/run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS
set -euo pipefail
cd "$(dirname "$0")/.."
tests=${1:?usage: run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS}
extcap_tests=${2:?usage: run_windows_tests.sh PATH_TO_END_TO_END_TESTS PATH_TO_EXTCAP_TESTS}

missing=
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=" g++-mingw-w64-x86-64-posix"
command -v wine >/dev/null || missing+=" wine"
if [ -n "$missing" ]; then
    echo "not installed:$missing (apt-get install$missing); Windows build not tested"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

cmake --workflow --preset windows

# A Wine prefix of our own, quiet, with no offer to install .NET or a browser.
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 # non-ASCII paths reach the program as the right wide characters
[ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1 || true

status=0
export WPAN2PCAP_PIPE_PEER="$PWD/build/windows/pipe_peer.exe"
WPAN2PCAP_EXE="$PWD/build/windows/wpan2pcap.exe" WPAN2PCAP_LAUNCHER=wine "$tests" || status=$?
WPAN2PCAP_EXTCAP_EXE="$PWD/build/windows/wpan2pcap-extcap.exe" WPAN2PCAP_LAUNCHER=wine "$extcap_tests" || status=$?
wineserver -k 2>/dev/null || true
exit $status

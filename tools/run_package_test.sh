#!/usr/bin/env bash
# Builds the Debian package and checks it as a distribution would: lintian
# --pedantic finds no error or warning, `cmake --install --strip` installs the
# very same files, and the packaged program converts the bundled sample
# exactly as the build does. Under CI=true the package is installed into the
# system with apt-get, run from /usr/bin and removed again; elsewhere it is
# only unpacked, and the system's packages are left as they were.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() { # a missing tool skips the test, except in CI
    echo "$1"
    [ "${CI:-}" = true ] && exit 1
    exit 77
}
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed (apt-get install dpkg-dev); Debian package not tested"
command -v lintian >/dev/null || skip "lintian is not installed (apt-get install lintian); Debian package not tested"
command -v tshark >/dev/null || skip "tshark is not installed (apt-get install tshark); Debian package not tested"
if [ "${CI:-}" = true ]; then
    [ "$(id -u)" = 0 ] || skip "installing the package needs root"
    if dpkg -s wpan2pcap >/dev/null 2>&1; then skip "a wpan2pcap package is installed already; not replacing it"; fi
fi

# A package of an earlier version left in the build folder is not this one.
rm -f build/release/wpan2pcap_*.deb
cmake --workflow --preset package
deb=$(ls build/release/wpan2pcap_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

lintian_output=$(lintian --pedantic --display-info "$deb" 2>&1 | grep -v '^running with root privileges' || true)
echo "lintian --pedantic: ${lintian_output:-no tags}"
if grep -qE '^[EW]: ' <<<"$lintian_output"; then echo "FAIL: lintian reports errors or warnings"; exit 1; fi

work=$(mktemp -d)
installed_into_system=
cleanup() {
    [ -n "$installed_into_system" ] && { dpkg -r wpan2pcap >/dev/null 2>&1 || true; }
    rm -rf "$work"
}
trap cleanup EXIT

dpkg-deb -x "$deb" "$work/unpacked"
DESTDIR="$work/installed" cmake --install build/release --strip > /dev/null
diff -r "$work/unpacked" "$work/installed" || { echo "FAIL: cmake --install differs from the package"; exit 1; }
[ -f "$work/unpacked/usr/share/man/man1/wpan2pcap.1.gz" ] || { echo "FAIL: man page not packaged"; exit 1; }
# The extcap program goes where Wireshark looks for extcap programs.
extcap_folder=$(tshark -G folders 2>/dev/null | sed -n 's/^Extcap path:[[:space:]]*//p' | head -1)
extcap_folder=${extcap_folder:-/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/extcap}
[ -x "$work/unpacked$extcap_folder/wpan2pcap-extcap" ] || { echo "FAIL: wpan2pcap-extcap not packaged in $extcap_folder"; exit 1; }
"$work/unpacked$extcap_folder/wpan2pcap-extcap" --extcap-interfaces | grep -q '^interface {value=wpan2pcap}' ||
    { echo "FAIL: the packaged extcap program does not list its interface"; exit 1; }
# The file reader goes where Wireshark looks for Lua plugins of every user.
lua_folder=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p' | head -1)
lua_folder=${lua_folder:-/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins}
cmp -s "$work/unpacked$lua_folder/wpan2pcap.lua" wireshark_file_reader/wpan2pcap.lua ||
    { echo "FAIL: wpan2pcap.lua not packaged in $lua_folder"; exit 1; }
echo "the file reader is packaged in $lua_folder"

program="$work/unpacked/usr/bin/wpan2pcap"
if [ "${CI:-}" = true ]; then
    installed_into_system=yes
    apt-get install -y -q "./$deb" >/dev/null 2>&1 || dpkg -i "$deb"
    [ "$(command -v wpan2pcap)" = /usr/bin/wpan2pcap ] || { echo "FAIL: wpan2pcap not installed in /usr/bin"; exit 1; }
    # Listed by tshark right after the install, from the global extcap folder.
    HOME="$work/empty-home" tshark -D 2>/dev/null | grep -q '\. wpan2pcap (' ||
        { echo "FAIL: tshark -D does not list wpan2pcap after the install"; exit 1; }
    echo "tshark -D lists the installed interface: $(HOME="$work/empty-home" tshark -D 2>/dev/null | grep wpan2pcap)"
    # And opens a record capture itself, through the installed file reader.
    first=$(HOME="$work/empty-home" tshark -r samples/sample.bin -c 1 -T fields -e frame.comment -e frame.protocols 2>/dev/null)
    [ "$first" = "$(printf 'record 1, flags 0x01\twpan:6lowpan:ipv6:udp:data')" ] ||
        { echo "FAIL: tshark -r of a record capture through the installed reader gave: $first"; exit 1; }
    echo "tshark -r samples/sample.bin through the installed file reader: $first"
    program=/usr/bin/wpan2pcap
fi

status=0
"$program" samples/sample.bin "$work/packaged.pcap" > "$work/packaged.trace" || status=$?
build/release/wpan2pcap samples/sample.bin "$work/built.pcap" > "$work/built.trace"
[ "$status" = 0 ] || { echo "FAIL: packaged wpan2pcap exited $status"; exit 1; }
cmp "$work/packaged.pcap" "$work/built.pcap" || { echo "FAIL: packaged and built output differ"; exit 1; }
[ "$(head -c 4 "$work/packaged.pcap" | od -An -tx1 | tr -d ' ')" = d4c3b2a1 ] || { echo "FAIL: not a PCAP file"; exit 1; }
# 24-byte header plus one packet record per sample record
[ "$(stat -c %s "$work/packaged.pcap")" -gt $((24 + 100 * 18)) ] || { echo "FAIL: output too short"; exit 1; }
[ "$(grep -c '^Packet$' "$work/packaged.trace")" -ge 100 ] || { echo "FAIL: trace incomplete"; exit 1; }

if [ -n "$installed_into_system" ]; then
    dpkg -r wpan2pcap >/dev/null
    installed_into_system=
    if [ -e /usr/bin/wpan2pcap ]; then echo "FAIL: still installed after removal"; exit 1; fi
    echo "the installed package converted the sample exactly as the build does, and was removed"
else
    echo "the unpacked package converted the sample exactly as the build does (installed only under CI=true)"
fi

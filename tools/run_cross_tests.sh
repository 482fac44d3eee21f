#!/usr/bin/env bash
# Cross-compiles the project for one Linux target with Debian's cross
# compilers, runs the whole test suite there under emulation (qemu-user, or
# the kernel itself for 32-bit x86 where it runs such programs), and, for the
# ARM targets, checks the Debian package the workflow makes: its
# architecture, the target's programs inside, the extcap program in that
# architecture's Wireshark folder, and lintian --pedantic.
#   tools/run_cross_tests.sh arm64|armhf|i686|s390x
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: run_cross_tests.sh arm64|armhf|i686|s390x}
case $arch in
arm64) triplet=aarch64-linux-gnu multiarch=aarch64-linux-gnu qemu=qemu-aarch64 machine="ARM aarch64" ;;
armhf) triplet=arm-linux-gnueabihf multiarch=arm-linux-gnueabihf qemu=qemu-arm machine="ARM, EABI5" ;;
i686) triplet=i686-linux-gnu multiarch=i386-linux-gnu qemu=qemu-i386 machine="Intel 80386" ;;
s390x) triplet=s390x-linux-gnu multiarch=s390x-linux-gnu qemu=qemu-s390x machine="IBM S/390" ;;
*) echo "unknown target $arch"; exit 2 ;;
esac

missing=
command -v "$triplet-g++" >/dev/null || missing+=" g++-$triplet"
command -v "$qemu" >/dev/null || missing+=" qemu-user"
[ -f /usr/src/googletest/googletest/CMakeLists.txt ] || missing+=" googletest"
if [ "$arch" = arm64 ] || [ "$arch" = armhf ]; then
    command -v dpkg-deb >/dev/null || missing+=" dpkg-dev"
    command -v lintian >/dev/null || missing+=" lintian"
    command -v file >/dev/null || missing+=" file"
fi
if [ -n "$missing" ]; then
    echo "not installed:$missing (apt-get install$missing); the $arch build not tested"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

started=$(date +%s)
cmake --workflow --preset "cross-$arch"
echo "cross-$arch: built and tested in $(($(date +%s) - started)) s"
[ "$arch" = arm64 ] || [ "$arch" = armhf ] || exit 0

version=$(sed -n 's/^project(wpan2pcap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build/cross-$arch/wpan2pcap_${version}_${arch}.deb
[ -f "$deb" ] || { echo "FAIL: no package $deb"; exit 1; }
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "FAIL: the package is not for $arch"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"
for program in usr/bin/wpan2pcap "usr/lib/$multiarch/wireshark/extcap/wpan2pcap-extcap"; do
    [ -x "$work/$program" ] || { echo "FAIL: $program is not in the package"; exit 1; }
    file -b "$work/$program" | grep -q "$machine" || { echo "FAIL: $program is not for $arch: $(file -b "$work/$program")"; exit 1; }
done
cmp -s "$work/usr/lib/$multiarch/wireshark/plugins/wpan2pcap.lua" wireshark_file_reader/wpan2pcap.lua ||
    { echo "FAIL: the file reader is not in usr/lib/$multiarch/wireshark/plugins"; exit 1; }
lintian_output=$(lintian --pedantic --display-info "$deb" 2>&1 | grep -v '^running with root privileges' || true)
echo "lintian --pedantic: ${lintian_output:-no tags}"
if grep -qE '^[EW]: ' <<<"$lintian_output"; then echo "FAIL: lintian reports errors or warnings"; exit 1; fi
echo "the $arch package holds the $arch programs and the file reader where Wireshark for $arch looks"

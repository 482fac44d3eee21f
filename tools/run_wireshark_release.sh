#!/usr/bin/env bash
# One Wireshark release users run, in a Debian chroot of its own, made with
# mmdebstrap from Debian's archive and kept between runs:
#
#   tools/run_wireshark_release.sh package FOLDER
#   tools/run_wireshark_release.sh bookworm|trixie|forky FOLDER
#
# The first builds the amd64 package into FOLDER, as the package workflow
# does (a build folder of its own: the package suite rebuilds its own
# meanwhile); the others install the package found there.
#
#   bookworm  Debian 12       Wireshark 4.0, Lua 5.2
#   trixie    Debian 13       Wireshark 4.4, Lua 5.4
#   forky     Debian testing  Wireshark 4.6, Lua 5.4
#
# In the chroot it builds this tree with that Debian's own g++ and CMake and
# runs the README's test command, installs PACKAGE.deb with dpkg -i, runs the
# Wireshark rows again against what the package installed (as a user who is
# not root, as Wireshark runs), and, for the newest release, drives
# Wireshark's window under Xvfb. It prints what each release showed.
#
# The chroots live in $WPAN2PCAP_CHROOT_CACHE (default
# /var/cache/wpan2pcap/chroots), one folder a release, and are made again
# after two weeks or when the packages they need change. Testing's packages
# move: when its chroot cannot be made, its rows say so and are skipped, never
# passed (a stable release's failure fails). Needs root, mmdebstrap and the
# network to Debian's archive (the machine's own mirror, or
# $WPAN2PCAP_DEBIAN_MIRROR).
set -euo pipefail
# A command that fails unforeseen says which, not only the status.
trap 'echo "FAIL: $0 line $LINENO: $BASH_COMMAND (status $?)"' ERR
cd "$(dirname "$0")/.."
source=$PWD

release=${1:?usage: $0 package|bookworm|trixie|forky FOLDER}
folder=${2:?usage: $0 package|bookworm|trixie|forky FOLDER}
if [ "$release" = package ]; then
    cmake --preset release -B "$folder" > "$folder.log" 2>&1 && cmake --build "$folder" >> "$folder.log" 2>&1 &&
        (cd "$folder" && rm -f wpan2pcap_*.deb && cpack -G DEB >> "$folder.log" 2>&1) || { cat "$folder.log"; exit 1; }
    ls "$folder"/wpan2pcap_*_amd64.deb
    exit 0
fi
package=$(ls "$folder"/wpan2pcap_*_amd64.deb 2>/dev/null | head -n 1)
case $release in
    bookworm) wireshark=4.0 ;;
    trixie) wireshark=4.4 ;;
    forky) wireshark=4.6 ;;
    *) echo "unknown release $release"; exit 2 ;;
esac
newest=forky

skip() { # a missing tool skips, except in CI; testing's chroot may always skip
    echo "$1"
    [ "${CI:-}" = true ] && [ "${2:-}" != movable ] && exit 1
    exit 77
}
fail() { echo "FAIL ($release, Wireshark $wireshark): $1"; exit 1; }

[ "$(id -u)" = 0 ] || skip "a chroot needs root: Wireshark $wireshark not tested"
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed (apt-get install mmdebstrap): Wireshark $wireshark not tested"
[ -n "$package" ] || fail "no package in $folder (the package step failed?)"

cache=${WPAN2PCAP_CHROOT_CACHE:-/var/cache/wpan2pcap/chroots}
root=$cache/$release
# The machine's own Debian mirror, which may be the only one it can reach.
mirror=${WPAN2PCAP_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
    mirror=$( { sed -n 's|^URIs: *\(\S*/debian\)/*$|\1|p' /etc/apt/sources.list.d/*.sources
                sed -n 's|^deb \(\[[^]]*\] \)\{0,1\}\(\S*/debian\)/* .*|\2|p' /etc/apt/sources.list; } 2>/dev/null | head -n 1 || true)
fi
mirror=${mirror:-http://deb.debian.org/debian}
# What the quick suite and the rows need; the newest release's window too.
packages="tshark cmake ninja-build g++ libgtest-dev libgmock-dev lua5.2 lua5.4 openssh-server procps file mount util-linux passwd ca-certificates"
[ "$release" = "$newest" ] && packages+=" wireshark xvfb xdotool imagemagick x11-utils fonts-dejavu-core"
# Testing's Release file may be past its date on a mirror that is not updated.
apt_options=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -o Dpkg::Use-Pty=false)

mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    mounted=()
}
mount_into() { # ROOT: what a build and Wireshark need of the system
    local r=$1
    mount -t proc proc "$r/proc" && mounted+=("$r/proc")
    mount -t sysfs sysfs "$r/sys" && mounted+=("$r/sys")
    mount --bind /dev "$r/dev" && mounted+=("$r/dev")
    mount --bind /dev/pts "$r/dev/pts" && mounted+=("$r/dev/pts")
    mount -t tmpfs -o size=512m shm "$r/dev/shm" && mounted+=("$r/dev/shm")
    cp /etc/resolv.conf "$r/etc/resolv.conf" 2>/dev/null || true
}
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 CI="${CI:-}" "$@"; }
trap unmount_all EXIT

# A chroot with the packages, made in a folder of its own and put in place
# only when whole.
make_chroot() {
    local new=$cache/$release.new
    rm -rf "$new"
    mkdir -p "$cache"
    echo "making the $release chroot in $root (minutes, the first time)"
    mmdebstrap --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' "$release" "$new" "$mirror" > "$cache/$release.log" 2>&1 ||
        return 1
    mount_into "$new"
    local r=0
    {
        chroot "$new" apt-get "${apt_options[@]}" update &&
            # A package left unconfigured (a dependency only provided by
            # another, in a library transition) is completed by -f install.
            { DEBIAN_FRONTEND=noninteractive chroot "$new" apt-get "${apt_options[@]}" install -y $packages ||
              { DEBIAN_FRONTEND=noninteractive chroot "$new" apt-get "${apt_options[@]}" -f install -y &&
                DEBIAN_FRONTEND=noninteractive chroot "$new" apt-get "${apt_options[@]}" install -y $packages; }; }
    } >> "$cache/$release.log" 2>&1 || r=1
    chroot "$new" useradd --create-home --shell /bin/bash wpan2pcap-user >> "$cache/$release.log" 2>&1 || true
    unmount_all
    [ $r = 0 ] || return 1
    echo "$packages" > "$new/.wpan2pcap-packages"
    rm -rf "$root"
    mv "$new" "$root"
}

fresh=
if [ -f "$root/.wpan2pcap-packages" ] && [ "$(cat "$root/.wpan2pcap-packages")" = "$packages" ] &&
   [ -n "$(find "$root/.wpan2pcap-packages" -mtime -14)" ]; then
    fresh=yes
fi
if [ -z "$fresh" ] && ! make_chroot; then
    tail -n 15 "$cache/$release.log"
    if [ -f "$root/.wpan2pcap-packages" ]; then
        echo "the $release chroot could not be made again; the one from $(date -r "$root/.wpan2pcap-packages" +%F) is used"
    elif [ "$release" = forky ]; then
        skip "SKIPPED: the chroot of Debian testing ($release) cannot be made now (its packages are moving; see $cache/$release.log): Wireshark $wireshark not tested" movable
    else
        fail "the $release chroot cannot be made (see $cache/$release.log)"
    fi
fi
mount_into "$root"

echo "== Debian $release: $(in_root sh -c 'tshark --version 2>/dev/null | head -1')"
echo "   $(in_root sh -c 'g++ --version | head -1'); $(in_root sh -c 'cmake --version | head -1')"

# The tree as it is here, built there: the README's test command, with no
# package of an earlier run installed (its file reader would be loaded
# beside the one under test).
in_root dpkg --purge wpan2pcap > /dev/null 2>&1 || true
rm -rf "$root/build/src"
mkdir -p "$root/build/src"
git ls-files -co --exclude-standard -z | tar --null -cf - -T - | tar -xf - -C "$root/build/src"
test_log=$root/build/test.log
if ! in_root sh -c 'cd /build/src && cmake --workflow --preset test' > "$test_log" 2>&1; then
    grep -E 'Failed|\*\*\*|tests passed|tests failed' "$test_log" | tail -n 20
    fail "the test command failed (the whole log: $test_log)"
fi
echo "   the test command: $(grep -E 'tests passed' "$test_log")"

# The package, installed as a user installs it; then what Wireshark finds of it.
cp "$package" "$root/tmp/wpan2pcap.deb"
in_root dpkg -i /tmp/wpan2pcap.deb > "$root/build/dpkg.log" 2>&1 || { cat "$root/build/dpkg.log"; fail "dpkg -i of the package failed"; }
as_user() { in_root setpriv --reuid=wpan2pcap-user --regid=wpan2pcap-user --init-groups env HOME=/home/wpan2pcap-user "$@"; }
interface=$(as_user tshark -D 2>/dev/null | grep 'wpan2pcap' || true)
[ -n "$interface" ] || fail "tshark -D does not list the installed interface (extcap folder: $(in_root tshark -G folders 2>/dev/null | grep 'Global Extcap'))"
echo "   tshark -D: $interface"
protocols=$(as_user tshark -r /build/src/samples/sample.bin -T fields -e frame.protocols 2>/dev/null | sort | uniq -c | sed 's/^ *//')
echo "   tshark -r sample.bin, its protocols: $protocols"
[ "$protocols" = "100 wpan:6lowpan:ipv6:udp:data" ] || fail "the sample does not dissect as what it holds"

# The Wireshark rows again, against the installed programs only.
rows='with_tshark.*:captures/analysers_read.*:file_reader.*'
for suite in wpan2pcap_interop_tests wpan2pcap_extcap_tests; do
    if ! as_user env WPAN2PCAP_INSTALLED=1 "/build/src/build/dev/tests/$suite" --gtest_filter="$rows" \
            > "$root/build/$suite-installed.log" 2>&1; then
        grep -E '^\[  FAILED|Failure' -A4 "$root/build/$suite-installed.log" | head -n 40
        fail "the Wireshark rows failed against the installed package ($root/build/$suite-installed.log)"
    fi
    echo "   against the installed package, $suite: $(grep -E '^\[  PASSED' "$root/build/$suite-installed.log")"
done

if [ "$release" = "$newest" ]; then
    window=/tmp/window
    rm -rf "$root$window" && mkdir -p "$root$window" && chmod 777 "$root$window"
    cp tools/wireshark_window.sh "$root$window/"
    in_root sh -c "wpan2pcap /build/src/samples/sample.bin $window/sample.pcap > /dev/null &&
                   /build/src/build/dev/make_capture --kind varied --records 300 $window/skipped.bin && chmod 644 $window/*"
    if ! as_user bash "$window/wireshark_window.sh" "$window" /build/src/samples/sample.bin "$window/sample.pcap" "$window/skipped.bin"; then
        fail "Wireshark's window (screenshots in $root$window)"
    fi
    echo "   the window's screenshots: $root$window"
fi
echo "Wireshark $wireshark ($release): every row passed"

#!/usr/bin/env bash
# Builds the commit checked out twice, in two folders of different names and
# depths, one after the other (minutes apart), with nothing set by hand, and
# checks that every artifact the README's workflows ship is the same, byte
# for byte: the Debian packages (amd64, arm64, armhf), both Windows programs,
# the setup program and the zip. It also looks for either build folder's
# name in every shipped file (in UTF-16 too, as Windows programs hold
# text). A difference is shown with diffoscope, where it is installed.
#   tools/check_reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."

missing=
for tool in git dpkg-deb python3 makensis x86_64-w64-mingw32-g++-posix aarch64-linux-gnu-g++ arm-linux-gnueabihf-g++; do
    command -v "$tool" >/dev/null || missing+=" $tool"
done
if [ -n "$missing" ]; then
    echo "not installed:$missing; the artifacts' reproducibility not checked"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

version=$(sed -n 's/^project(wpan2pcap VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
artifacts=(
    "build/release/wpan2pcap_${version}_amd64.deb"
    "build/cross-arm64/wpan2pcap_${version}_arm64.deb"
    "build/cross-armhf/wpan2pcap_${version}_armhf.deb"
    build/windows/wpan2pcap.exe
    build/windows/wpan2pcap-extcap.exe
    "build/windows/wpan2pcap-${version}-setup.exe"
    "build/windows/wpan2pcap-${version}-windows.zip"
)

work=$(mktemp -d /tmp/wpan2pcap-reproducible.XXXXXX)
first=$work/one-place/checkout-first
second=$work/a-second-place/deeper/checkout-built-again
cleanup() {
    git worktree remove --force "$first" 2>/dev/null || true
    git worktree remove --force "$second" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Everything the workflows ship; the cross packages without their tests,
# which ship nothing.
build() {
    git worktree add --quiet --detach "$1" HEAD
    (
        cd "$1"
        cmake --workflow --preset package
        cmake --workflow --preset windows
        for arch in arm64 armhf; do
            cmake --preset "cross-$arch" -DWPAN2PCAP_TESTS=OFF
            cmake --build --preset "cross-$arch"
            cpack --preset "cross-$arch"
        done
    ) > "$1.log" 2>&1 || { echo "FAIL: the build in $1 failed:"; tail -30 "$1.log"; exit 1; }
    echo "built in $1 at $(date -u +%H:%M:%S)"
}
build "$first"
build "$second"

status=0
for artifact in "${artifacts[@]}"; do
    a=$first/$artifact b=$second/$artifact
    if [ ! -f "$a" ] || [ ! -f "$b" ]; then
        echo "FAIL: $artifact was not made"
        status=1
    elif cmp -s "$a" "$b"; then
        echo "same: $(sha256sum "$a" | cut -c1-64)  $artifact"
    else
        echo "FAIL: $artifact differs: $(sha256sum "$a" | cut -c1-64) and $(sha256sum "$b" | cut -c1-64)"
        if command -v diffoscope >/dev/null; then
            diffoscope --text - "$a" "$b" 2>&1 | head -60 || true
        else
            cmp -l "$a" "$b" | head -10 || true
        fi
        status=1
    fi
done

# No shipped file names a folder it was built in: the packages' and the zip's
# files unpacked, the programs and the setup program as they are.
shipped=$work/shipped
mkdir -p "$shipped"
for deb in "$second"/build/release/*.deb "$second"/build/cross-*/*.deb; do
    dpkg-deb -x "$deb" "$shipped/$(basename "$deb" .deb)"
done
mkdir -p "$shipped/zip"
(cd "$shipped/zip" && cmake -E tar xf "$second/build/windows/wpan2pcap-${version}-windows.zip")
cp "$second"/build/windows/*.exe "$shipped/"
found=$(python3 - "$shipped" "$first" "$second" <<'PY'
import os, sys
root, folders = sys.argv[1], sys.argv[2:]
needles = []
for folder in folders:
    for text in (folder, os.path.basename(folder)):
        needles += [text.encode(), text.encode("utf-16-le")]
for where, _, files in os.walk(root):
    for name in files:
        data = open(os.path.join(where, name), "rb").read()
        if any(needle in data for needle in needles):
            print(os.path.relpath(os.path.join(where, name), root))
PY
)
if [ -n "$found" ]; then
    echo "FAIL: these shipped files name a folder they were built in:"
    echo "$found"
    status=1
else
    echo "no shipped file names a folder it was built in ($(find "$shipped" -type f | wc -l) files searched)"
fi
exit $status

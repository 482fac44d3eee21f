#!/usr/bin/env bash
# Builds the Debian package, installs it, converts the bundled sample with the
# installed program, checks the result against the freshly built one, and
# removes the package again. Installing needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null; then
    echo "installing a package needs root and dpkg; Debian package not tested"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
if dpkg -s wpan2pcap >/dev/null 2>&1; then
    echo "a wpan2pcap package is installed already; not replacing it"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

cmake --workflow --preset package
deb=$(ls build/release/wpan2pcap_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

work=$(mktemp -d)
trap 'dpkg -r wpan2pcap >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
apt-get install -y -q "./$deb" >/dev/null 2>&1 || dpkg -i "$deb"

installed=$(command -v wpan2pcap)
[ "$installed" = /usr/bin/wpan2pcap ] || { echo "FAIL: wpan2pcap found at '$installed'"; exit 1; }
[ -f /usr/share/man/man1/wpan2pcap.1.gz ] || { echo "FAIL: man page not installed"; exit 1; }

status=0
wpan2pcap samples/sample.bin "$work/installed.pcap" > "$work/installed.trace" || status=$?
build/release/wpan2pcap samples/sample.bin "$work/built.pcap" > "$work/built.trace"
[ "$status" = 0 ] || { echo "FAIL: installed wpan2pcap exited $status"; exit 1; }
cmp "$work/installed.pcap" "$work/built.pcap" || { echo "FAIL: installed and built output differ"; exit 1; }
[ "$(head -c 4 "$work/installed.pcap" | od -An -tx1 | tr -d ' ')" = d4c3b2a1 ] || { echo "FAIL: not a PCAP file"; exit 1; }
# 24-byte header plus one packet record per sample record
[ "$(stat -c %s "$work/installed.pcap")" -gt $((24 + 100 * 18)) ] || { echo "FAIL: output too short"; exit 1; }
[ "$(grep -c '^Packet$' "$work/installed.trace")" -ge 100 ] || { echo "FAIL: trace incomplete"; exit 1; }

dpkg -r wpan2pcap >/dev/null
if [ -e /usr/bin/wpan2pcap ]; then echo "FAIL: still installed after removal"; exit 1; fi
echo "installed package converted the sample exactly as the build does, and was removed"

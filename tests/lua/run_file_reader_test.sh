#!/usr/bin/env bash
# The file reader under one Lua that Wireshark embeds: its syntax (luac -p)
# and its rules (file_reader_test.lua).
#   tests/lua/run_file_reader_test.sh 5.2|5.4 READER.lua SAMPLE.bin
set -euo pipefail
version=$1 reader=$2 sample=$3
if ! command -v "lua$version" >/dev/null || ! command -v "luac$version" >/dev/null; then
    echo "lua$version is not installed (apt-get install lua$version); the file reader not checked under Lua $version"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
"luac$version" -p "$reader"
echo "luac$version -p: accepted"
"lua$version" "$(dirname "$0")/file_reader_test.lua" "$reader" "$sample"

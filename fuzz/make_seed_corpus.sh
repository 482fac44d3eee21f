#!/usr/bin/env bash
# Rebuilds the fuzzer's seed corpus with the project's own capture generator:
#   fuzz/make_seed_corpus.sh build/dev/make_capture
set -euo pipefail
make_capture=${1:?usage: make_seed_corpus.sh PATH_TO_MAKE_CAPTURE}
corpus=$(dirname "$0")/corpus
rm -rf "$corpus" && mkdir -p "$corpus"
"$make_capture" --kind sample --records 2 "$corpus/sample-2"
for seed in 1 2 3 4 5 6; do
    "$make_capture" --kind varied --records 4 --seed "$seed" "$corpus/varied-$seed"
done
head -c 200 "$corpus/sample-2" > "$corpus/partial-record"
: > "$corpus/empty"

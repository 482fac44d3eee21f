#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang) and runs the whole test suite there.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null; then
    echo "clang++ is not installed (apt-get install clang libclang-rt-14-dev); sanitizer suite not run"
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
exec cmake --workflow --preset asan

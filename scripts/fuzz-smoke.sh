#!/usr/bin/env bash
# Runs every libFuzzer target under fuzz/ for a short while (30 seconds each by default), after
# replaying its stored corpus. Fails on the first crash, leak or sanitizer report.
#   scripts/fuzz-smoke.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
mkdir -p build-fuzz
KEYMEND_WITH_CLANG=1 scripts/deps.sh
for source in fuzz/*_fuzz.cpp; do
    target=$(basename "$source" .cpp)
    echo "== $target: corpus replay, then $seconds s of fuzzing"
    scripts/fuzz.sh "$target" replay >"build-fuzz/$target.log" 2>&1 ||
        { tail -n 60 "build-fuzz/$target.log"; exit 1; }
    scripts/fuzz.sh "$target" "$seconds" >"build-fuzz/$target.log" 2>&1 ||
        { tail -n 60 "build-fuzz/$target.log"; exit 1; }
    grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "build-fuzz/$target.log" || true
done

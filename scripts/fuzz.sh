#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs one of them.
#   scripts/fuzz.sh TARGET SECONDS    fuzz for SECONDS, growing a scratch copy of the corpus
#   scripts/fuzz.sh TARGET replay     run every stored seed of fuzz/corpus/<name>/ once
# TARGET is the file name under fuzz/ without .cpp (der_fuzz); its corpus is fuzz/corpus/der/.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh TARGET SECONDS|replay}
mode=${2:?usage: scripts/fuzz.sh TARGET SECONDS|replay}
command -v clang++ >/dev/null || { echo "clang++ is needed for the fuzz build" >&2; exit 1; }

builddir=build-fuzz
cmake -S . -B "$builddir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKEYMEND_FUZZ=ON -DKEYMEND_TESTS=OFF -DKEYMEND_BENCH=OFF -DKEYMEND_WERROR=ON >/dev/null
cmake --build "$builddir" --target "$target" -j2

corpus="fuzz/corpus/${target%_fuzz}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ "$mode" = replay ]; then
    exec "$builddir/$target" "$corpus"/*
fi
# New inputs go to a scratch folder so that the stored seed corpus stays small and reviewed.
scratch="$builddir/corpus-$target"
mkdir -p "$scratch"
exec "$builddir/$target" -max_total_time="$mode" -print_final_stats=1 -max_len=4096 \
    "$scratch" "$corpus"

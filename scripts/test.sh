#!/usr/bin/env bash
# Builds keymend and runs the whole test suite. Installs what it needs when missing.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
builddir=build
if [ "${1:-}" = "--sanitize" ]; then sanitize=ON; builddir=build-asan; fi

scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$builddir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYMEND_SANITIZE=$sanitize \
  -DKEYMEND_WERROR=ON >/dev/null
cmake --build "$builddir" -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$builddir"
ctest -j"$jobs" --output-on-failure

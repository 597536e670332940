#!/usr/bin/env bash
# Builds keymend.exe with the MinGW-w64 cross compiler, warnings as errors, installing the cross
# compiler when it is missing (scripts/deps.sh). Prints the path of the executable on its last line.
#   scripts/build-windows.sh i686      32-bit Windows, in build-win32/ (KEYMEND_WIN32_BUILD_DIR)
#   scripts/build-windows.sh x86_64    x86-64 Windows, in build-win64/ (KEYMEND_WIN64_BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."

case ${1:-} in
  i686) builddir=${KEYMEND_WIN32_BUILD_DIR:-build-win32} ;;
  x86_64) builddir=${KEYMEND_WIN64_BUILD_DIR:-build-win64} ;;
  *) echo "usage: $0 i686|x86_64" >&2; exit 2 ;;
esac
KEYMEND_WITH_MINGW=$1 scripts/deps.sh
cmake -S . -B "$builddir" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$1.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKEYMEND_WERROR=ON >/dev/null
cmake --build "$builddir" --target keymend -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
echo "$builddir/keymend.exe"

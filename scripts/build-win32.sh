#!/usr/bin/env bash
# Builds keymend.exe for 32-bit Windows with the MinGW-w64 cross compiler, in build-win32/.
# Installs the cross compiler when it is missing (scripts/deps.sh). Prints the path of the
# executable on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

KEYMEND_WITH_MINGW=1 scripts/deps.sh
builddir=${KEYMEND_WIN32_BUILD_DIR:-build-win32}
cmake -S . -B "$builddir" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$builddir" --target keymend -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
echo "$builddir/keymend.exe"

#!/usr/bin/env bash
# Builds the Debian package of keymend: a Release build with warnings as errors and without the
# tests, benchmarks and fuzzers, in build-package/ (KEYMEND_PACKAGE_BUILD_DIR), then
# `cpack -G DEB` there. Installs what it needs when missing (scripts/deps.sh). Prints the path
# of the .deb on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

KEYMEND_WITH_PACKAGING=1 scripts/deps.sh
builddir=${KEYMEND_PACKAGE_BUILD_DIR:-build-package}
# The changelog's date is the last commit's time, so that the same sources give the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --verify -q HEAD >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi
# Debian's hardening flags (fortified libc calls, stack protector, read-only relocations bound
# at start); the optimisation stays the Release build's.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP="-g -O2" dpkg-buildflags --get "$1"; }
cmake -S . -B "$builddir" -DCMAKE_BUILD_TYPE=Release -DKEYMEND_WERROR=ON -DKEYMEND_TESTS=OFF \
  -DKEYMEND_BENCH=OFF -DKEYMEND_FUZZ=OFF -DKEYMEND_SANITIZE=OFF -DKEYMEND_DEBIAN_PACKAGE=ON \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$builddir" -j"$(nproc 2>/dev/null || echo 2)" >"$builddir/build.log" 2>&1 ||
  { tail -n 80 "$builddir/build.log" >&2; exit 1; }
rm -f "$builddir"/keymend_*.deb
(cd "$builddir" && cpack -G DEB >cpack.log 2>&1) || { cat "$builddir/cpack.log" >&2; exit 1; }
deb=$(ls "$builddir"/keymend_*.deb)
echo "$deb"

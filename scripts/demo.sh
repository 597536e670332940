#!/usr/bin/env bash
# Builds keymend and runs its main job on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYMEND_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc 2>/dev/null || echo 2)" --target keymend >/dev/null
build-demo/keymend -help

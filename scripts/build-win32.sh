#!/usr/bin/env bash
# Builds keymend.exe for 32-bit Windows in build-win32/ (scripts/build-windows.sh) and prints the
# path of the executable on its last line.
exec "$(dirname "$0")/build-windows.sh" i686

#!/usr/bin/env bash
# Builds keymend.exe for x86-64 Windows in build-win64/ (scripts/build-windows.sh) and prints the
# path of the executable on its last line.
exec "$(dirname "$0")/build-windows.sh" x86_64

#!/usr/bin/env bash
# Makes sure the build and test dependencies are present, installing the missing Debian packages
# when run as root (or with sudo). Otherwise it prints the exact command to run and fails.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_file() { [ -e "$1" ]; }

have_cmd cmake || need+=(cmake)
have_cmd g++ || need+=(g++)
have_cmd make || need+=(make)
have_cmd pkg-config || need+=(pkg-config)
have_file /usr/include/gtest/gtest.h || need+=(libgtest-dev)
have_file /usr/include/gmock/gmock.h || need+=(libgmock-dev)
have_file /usr/include/benchmark/benchmark.h || need+=(libbenchmark-dev)
have_file /usr/include/openssl/evp.h || need+=(libssl-dev)
have_cmd openssl || need+=(openssl)
ls /usr/lib/*/engines-3/gost.so >/dev/null 2>&1 || need+=(libengine-gost-openssl)
# The tests run commands on a real FAT file system: an image made by mkfs.vfat, mounted with
# fusefat (they say so and skip when the machine cannot mount one).
have_cmd mkfs.vfat || have_file /usr/sbin/mkfs.vfat || need+=(dosfstools)
have_cmd fusefat || need+=(fusefat)
if [ "${KEYMEND_WITH_CLANG:-0}" = 1 ]; then
  have_cmd clang++ || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
fi

# The 32-bit Windows build (scripts/build-win32.sh) and its test run under Wine
# (scripts/test-wine.sh); Wine's 32-bit half needs the i386 architecture.
if [ "${KEYMEND_WITH_MINGW:-0}" = 1 ]; then
  have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686)
fi
add_i386=0
if [ "${KEYMEND_WITH_WINE:-0}" = 1 ]; then
  have_cmd wine || need+=(wine)
  have_file /usr/share/i18n/locales/ru_RU || need+=(locales)  # sources for Wine's locales
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
    need+=(wine32:i386)
    dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 || add_i386=1
  fi
fi

[ ${#need[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${need[*]}" >&2
if [ "$(id -u)" = 0 ]; then SUDO=""; elif have_cmd sudo; then SUDO="sudo"; else
  echo "Cannot install as this user. Run as root: apt-get update && apt-get install -y ${need[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ $add_i386 = 1 ] && ! $SUDO dpkg --add-architecture i386; then
  echo "Cannot add the i386 architecture that wine32 needs." >&2
  exit 1
fi
if ! { $SUDO apt-get update -qq && $SUDO apt-get install -y -qq "${need[@]}" >/dev/null; }; then
  echo "Installation failed. Install these Debian packages: ${need[*]}" >&2
  exit 1
fi

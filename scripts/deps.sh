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

# The Debian package and its checks (scripts/package.sh, scripts/check-install.sh), with
# KEYMEND_WITH_PACKAGING=1: dpkg-shlibdeps, the manual page checkers, lintian.
if [ "${KEYMEND_WITH_PACKAGING:-0}" = 1 ]; then
  have_cmd dpkg-shlibdeps || need+=(dpkg-dev)
  have_cmd file || need+=(file)
  have_cmd groff || need+=(groff-base)
  have_cmd man || need+=(man-db)
  have_cmd mandoc || need+=(mandoc)
  have_cmd lintian || need+=(lintian)
fi

# The Windows builds and their test run under Wine:
#   KEYMEND_WITH_MINGW="i686 x86_64"  cross compilers for scripts/build-win32.sh and build-win64.sh
#   KEYMEND_WITH_WINE=64              64-bit Wine (wine64), which runs x86-64 programs only
#   KEYMEND_WITH_WINE=32              64-bit Wine and its 32-bit half (wine32 of the i386
#                                     architecture), for machines that can execute 32-bit code
for arch in ${KEYMEND_WITH_MINGW:-}; do
  case $arch in
    i686) have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686) ;;
    x86_64) have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64) ;;
    *) echo "deps: unknown MinGW-w64 target '$arch'" >&2; exit 1 ;;
  esac
done
add_i386=0
case ${KEYMEND_WITH_WINE:-} in
  "") ;;
  32|64)
    have_cmd wine || need+=(wine)
    dpkg-query -W -f='${Status}' wine64 2>/dev/null | grep -q 'ok installed' || need+=(wine64)
    have_file /usr/share/i18n/locales/ru_RU || need+=(locales)  # sources for Wine's locales
    if [ "$KEYMEND_WITH_WINE" = 32 ] &&
       ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
      need+=(wine32:i386)
      dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 || add_i386=1
    fi
    ;;
  *) echo "deps: KEYMEND_WITH_WINE must be 32 or 64" >&2; exit 1 ;;
esac

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

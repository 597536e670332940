#include "cli/version.h"

#include "platform/console.h"

// The build defines it from the one version the project declares (CMakeLists.txt).
#ifndef KEYMEND_VERSION
#error "KEYMEND_VERSION is not defined by the build"
#endif

// The target the compiler builds for. Each system names its processors its own way: Linux as
// `uname -m` does, Windows as its installers do.
#if defined(_WIN32)
#define KEYMEND_SYSTEM "Windows"
#if defined(__x86_64__) || defined(_M_X64)
#define KEYMEND_PROCESSOR "x86-64"
#elif defined(__i386__) || defined(_M_IX86)
#define KEYMEND_PROCESSOR "x86"
#elif defined(__aarch64__) || defined(_M_ARM64)
#define KEYMEND_PROCESSOR "ARM64"
#endif
#else
#if defined(__linux__)
#define KEYMEND_SYSTEM "Linux"
#elif defined(__FreeBSD__)
#define KEYMEND_SYSTEM "FreeBSD"
#elif defined(__APPLE__)
#define KEYMEND_SYSTEM "macOS"
#else
#define KEYMEND_SYSTEM "unknown system"
#endif
#if defined(__x86_64__)
#define KEYMEND_PROCESSOR "x86_64"
#elif defined(__i386__)
#define KEYMEND_PROCESSOR "i686"
#elif defined(__aarch64__)
#define KEYMEND_PROCESSOR "aarch64"
#elif defined(__arm__)
#define KEYMEND_PROCESSOR "arm"
#elif defined(__riscv) && __riscv_xlen == 64
#define KEYMEND_PROCESSOR "riscv64"
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
#define KEYMEND_PROCESSOR "ppc64le"
#elif defined(__s390x__)
#define KEYMEND_PROCESSOR "s390x"
#endif
#endif
#ifndef KEYMEND_PROCESSOR
#define KEYMEND_PROCESSOR "unknown processor"
#endif

namespace keymend {

namespace {

constexpr char kVersionLine[] =
    "keymend " KEYMEND_VERSION " (" KEYMEND_SYSTEM " " KEYMEND_PROCESSOR ")\n";

}  // namespace

void PrintVersion() {
    ConsoleWrite(kVersionLine, sizeof kVersionLine - 1);
}

}  // namespace keymend

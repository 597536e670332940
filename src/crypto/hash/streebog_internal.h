// GOST R 34.11-2012 compression routines shared between the portable code (streebog.cpp) and the
// vector variant (streebog_gfni.cpp). Not part of the module's interface.
#pragma once

#include <cstdint>

#include "crypto/context/cpu_features.h"

// The vector variant is built for x86-64 with GCC or Clang, outside Windows (MinGW's GCC does not
// align the stack for spilled 64-byte registers, so the Windows builds keep the portable path) and
// unless the build leaves the vector variants out (KEYMEND_VECTOR=OFF).
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(KEYMEND_NO_VECTOR)
#define KEYMEND_STREEBOG_GFNI 1
#else
#define KEYMEND_STREEBOG_GFNI 0
#endif

namespace keymend::streebog {

// Round keys K1..K13 of a compression whose h and N are fixed (the first block of a message).
struct KeySchedule {
    uint64_t k[13][8];
};

#if KEYMEND_STREEBOG_GFNI
// The processor features the vector variant needs.
inline constexpr uint32_t kGfniFeatures = kCpuGfni | kCpuAvx512F | kCpuAvx512BW | kCpuAvx512Vbmi;
// h = g_N(h, m), and the same with the round keys given; identical to the portable routines.
void CompressGfni(uint64_t h[8], const uint64_t n[8], const uint64_t m[8]);
void CompressFirstGfni(uint64_t h[8], const KeySchedule& keys, const uint64_t m[8]);
#endif

}  // namespace keymend::streebog

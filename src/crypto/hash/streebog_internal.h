// GOST R 34.11-2012 compression routines shared between the portable code (streebog.cpp) and the
// vector variant (streebog_gfni.cpp). Not part of the module's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// sum += block mod 2^512 (the block's 64 bytes a little-endian number).
inline void Add512(uint64_t sum[8], const uint8_t* block) {
    uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t w;
        std::memcpy(&w, block + 8 * i, 8);
        const uint64_t a = sum[i] + w;
        const uint64_t c1 = a < w;
        sum[i] = a + carry;
        carry = c1 | (sum[i] < a);
    }
}

// n += bits mod 2^512.
inline void AddBits(uint64_t n[8], uint64_t bits) {
    n[0] += bits;
    if (n[0] >= bits) return;
    for (int i = 1; i < 8 && ++n[i] == 0; ++i) {
    }
}

#if KEYMEND_STREEBOG_GFNI
// The processor features the vector variant needs.
inline constexpr uint32_t kGfniFeatures = kCpuGfni | kCpuAvx512F | kCpuAvx512BW | kCpuAvx512Vbmi;
// h = g_N(h, m), and the same with the round keys given; identical to the portable routines.
void CompressGfni(uint64_t h[8], const uint64_t n[8], const uint64_t m[8]);
void CompressFirstGfni(uint64_t h[8], const KeySchedule& keys, const uint64_t m[8]);
// Absorbs whole blocks: for each, h = g_N(h, block), N += 512, sigma += block; the first block
// with the round keys given unless firstKeys is null. h stays in a register between blocks.
void AbsorbGfni(uint64_t h[8], uint64_t n[8], uint64_t sigma[8], const uint8_t* data, size_t blocks,
                const KeySchedule* firstKeys);
#endif

}  // namespace keymend::streebog

// AES CBC decryption with the AES instructions, eight blocks in flight (CBC decryption has no
// chain between blocks). Compiled for those instructions function by function, so the rest of the
// build stays baseline; called only when the processor reports them.
#include "crypto/aes/aes_internal.h"
#include "crypto/context/cpu_features.h"
#include "crypto/context/secure_blob.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace keymend::aes_detail {

#if defined(__x86_64__) || defined(__i386__)

// 32-bit Windows only keeps the stack 4-byte aligned at entry: realign for the 16-byte spills.
#if defined(_WIN32) && defined(__i386__)
#define KEYMEND_AES_TARGET __attribute__((target("aes,sse2"), force_align_arg_pointer))
#else
#define KEYMEND_AES_TARGET __attribute__((target("aes,sse2")))
#endif

bool AesInstructionsUsable() {
    return CpuHas(kCpuAesNi);
}

KEYMEND_AES_TARGET void CbcDecryptAesNi(const AesKey& key, const uint8_t* iv, const uint8_t* in,
                                        uint8_t* out, size_t blocks) {
    constexpr size_t kLanes = 8;
    const uint32_t rounds = key.rounds;
    // The equivalent inverse cipher's keys (FIPS 197 section 5.3.5): the cipher's in reverse
    // order, InvMixColumns applied to the inner ones.
    __m128i dk[15];
    dk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.roundKeys + 16 * rounds));
    for (uint32_t r = 1; r < rounds; ++r) {
        dk[r] = _mm_aesimc_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.roundKeys + 16 * (rounds - r))));
    }
    dk[rounds] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key.roundKeys));
    __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
    for (; blocks >= kLanes; blocks -= kLanes, in += 16 * kLanes, out += 16 * kLanes) {
        __m128i c[kLanes], x[kLanes];
#pragma GCC unroll 8
        for (size_t i = 0; i < kLanes; ++i) {
            c[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i));
            x[i] = _mm_xor_si128(c[i], dk[0]);
        }
        for (uint32_t r = 1; r < rounds; ++r) {
#pragma GCC unroll 8
            for (size_t i = 0; i < kLanes; ++i) x[i] = _mm_aesdec_si128(x[i], dk[r]);
        }
#pragma GCC unroll 8
        for (size_t i = 0; i < kLanes; ++i) {
            x[i] = _mm_aesdeclast_si128(x[i], dk[rounds]);
            x[i] = _mm_xor_si128(x[i], i == 0 ? chain : c[i - 1]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), x[i]);
        }
        chain = c[kLanes - 1];
    }
    for (; blocks > 0; --blocks, in += 16, out += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        __m128i x = _mm_xor_si128(c, dk[0]);
        for (uint32_t r = 1; r < rounds; ++r) x = _mm_aesdec_si128(x, dk[r]);
        x = _mm_xor_si128(_mm_aesdeclast_si128(x, dk[rounds]), chain);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
        chain = c;
    }
    SecureWipe(dk, sizeof dk);
}

#else

bool AesInstructionsUsable() {
    return false;
}
void CbcDecryptAesNi(const AesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                     size_t blocks) {
    CbcDecryptBitsliced(key, iv, in, out, blocks);
}

#endif

}  // namespace keymend::aes_detail

// SHA-1 and SHA-256 compression with the SHA extensions (sha1rnds4/sha1nexte/sha1msg1/sha1msg2,
// sha256rnds2/sha256msg1/sha256msg2). Compiled for those instructions function by function, so
// the rest of the build stays baseline; called only when the processor reports them.
//
// The working values are vector-register values, not buffers of their own to wipe. Register
// layouts, named highest lane first: SHA-1 keeps ABCD in one register and E in the highest lane of
// another, message words W0 highest; SHA-256 keeps the state as ABEF and CDGH, message words W0
// lowest. Words are loaded big-endian.
#include "crypto/context/cpu_features.h"
#include "crypto/sha/sha_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace keymend::sha_detail {

#if defined(__x86_64__) || defined(__i386__)

// 32-bit Windows only keeps the stack 4-byte aligned at entry: realign for the 16-byte spills.
#if defined(_WIN32) && defined(__i386__)
#define KEYMEND_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3"), force_align_arg_pointer))
#else
#define KEYMEND_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

bool ShaExtensionsUsable() {
    return CpuHas(kCpuSha | kCpuSse41 | kCpuSsse3);
}

namespace {

// Four rounds of SHA-1 with round function `kFunction`; `prev` is A..D before the previous four
// rounds, whose A (rotated) is this group's E.
template <int kFunction>
KEYMEND_SHA_TARGET inline void Sha1Rounds(__m128i& abcd, __m128i& prev, __m128i w) {
    const __m128i e = _mm_sha1nexte_epu32(prev, w);
    prev = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e, kFunction);
}

// Word group j >= 4 of SHA-1 (rounds 4j..4j+3): W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]).
// w[j & 3] holds group j-4 until it is replaced.
KEYMEND_SHA_TARGET inline __m128i Sha1Schedule(__m128i* w, int j) {
    w[j & 3] = _mm_sha1msg2_epu32(
        _mm_xor_si128(_mm_sha1msg1_epu32(w[j & 3], w[(j + 1) & 3]), w[(j + 2) & 3]),
        w[(j + 3) & 3]);
    return w[j & 3];
}

}  // namespace

KEYMEND_SHA_TARGET void Sha1CompressShaNi(uint32_t* h, const uint8_t* blocks, size_t count) {
    const __m128i reverse = _mm_set_epi64x(0x0001020304050607, 0x08090a0b0c0d0e0f);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i savedAbcd = abcd, savedE = e0;
        __m128i w[4];
        for (int j = 0; j < 4; ++j) {
            w[j] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j)), reverse);
        }
        // Rounds 0-3: E enters by a plain addition.
        __m128i prev = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e0, w[0]), 0);
        for (int j = 1; j < 4; ++j) Sha1Rounds<0>(abcd, prev, w[j]);
        Sha1Rounds<0>(abcd, prev, Sha1Schedule(w, 4));
        for (int j = 5; j < 10; ++j) Sha1Rounds<1>(abcd, prev, Sha1Schedule(w, j));
        for (int j = 10; j < 15; ++j) Sha1Rounds<2>(abcd, prev, Sha1Schedule(w, j));
        for (int j = 15; j < 20; ++j) Sha1Rounds<3>(abcd, prev, Sha1Schedule(w, j));
        e0 = _mm_sha1nexte_epu32(prev, savedE);
        abcd = _mm_add_epi32(abcd, savedAbcd);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

KEYMEND_SHA_TARGET void Sha256CompressShaNi(uint32_t* h, const uint8_t* blocks, size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0b, 0x0405060700010203);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i savedAbef = abef, savedCdgh = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int j = 0; j < 16; ++j) {
            __m128i m;
            if (j < 4) {
                m = w[j] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j)), byteSwap);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16]; w[j & 3] holds group j-4.
                const __m128i t7 = _mm_alignr_epi8(w[(j + 3) & 3], w[(j + 2) & 3], 4);
                m = w[j & 3] = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(w[j & 3], w[(j + 1) & 3]), t7),
                    w[(j + 3) & 3]);
            }
            const __m128i wk = _mm_add_epi32(
                m, _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * j)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#else

bool ShaExtensionsUsable() {
    return false;
}
void Sha1CompressShaNi(uint32_t* h, const uint8_t* blocks, size_t count) {
    Sha1CompressPortable(h, blocks, count);
}
void Sha256CompressShaNi(uint32_t* h, const uint8_t* blocks, size_t count) {
    Sha256CompressPortable(h, blocks, count);
}

#endif

}  // namespace keymend::sha_detail

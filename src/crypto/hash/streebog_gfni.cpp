// GOST R 34.11-2012 compression with GFNI and AVX-512 VBMI, chosen at run time by streebog.cpp.
//
// The state lives in one 512-bit register in transposed byte order: byte 8m+i of the register is
// byte m of word i. One LPS step is then:
// - S: pi on all 64 bytes by two two-table byte permutes (128 entries each) and a select on the
//   index's top bit, spread over its byte by an affine step;
// - P and L: output byte m of word i is the XOR over j of M(m,j) applied to byte i of word j,
//   where M(m,j) is the 8x8 bit matrix mapping a byte at position j of a word to byte m of its
//   L image. Word j of the S output is gathered into every lane by one byte permute, and one
//   affine transformation whose lane m holds M(m,j) yields the contributions of word j to every
//   output byte; the XOR of the eight is the step's output, again in transposed order.
// The round constants are stored transposed; h, N and the message are transposed on entry and h
// back on exit. Working values stay in registers.
#include "crypto/hash/streebog_internal.h"

#if KEYMEND_STREEBOG_GFNI

// GCC 12 reports the deliberately undefined pass-through operand of the unmasked byte permute.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include "crypto/hash/streebog_constants.h"

#define KEYMEND_GFNI_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))
#define KEYMEND_INLINE inline __attribute__((always_inline))

namespace keymend::streebog {

namespace {

struct alignas(64) Block {
    uint8_t b[64];
};

// Byte 8m+i takes byte 8i+m: the transposition (its own inverse).
constexpr Block BuildTranspose() {
    Block r{};
    for (int m = 0; m < 8; ++m) {
        for (int i = 0; i < 8; ++i) r.b[8 * m + i] = static_cast<uint8_t>(8 * i + m);
    }
    return r;
}

// Index j gathers word j of the untransposed state (bytes 8i+j of the register) into every lane.
struct WordGathers {
    Block g[8];
};

constexpr WordGathers BuildGathers() {
    WordGathers r{};
    for (int j = 0; j < 8; ++j) {
        for (int lane = 0; lane < 8; ++lane) {
            for (int i = 0; i < 8; ++i) r.g[j].b[8 * lane + i] = static_cast<uint8_t>(8 * i + j);
        }
    }
    return r;
}

// Lane m of matrices j: M(m,j) in the affine instruction's layout, where bit b of the result is
// the parity of the source byte AND matrix byte 7-b. Row b of M(m,j) has bit t set when input
// bit t of byte j (bit 8j+t of the word, acted on by row 63-8j-t of A) reaches output bit 8m+b.
struct alignas(64) LinearMatrices {
    uint64_t q[8][8];
};

constexpr LinearMatrices BuildMatrices() {
    LinearMatrices r{};
    for (int j = 0; j < 8; ++j) {
        for (int m = 0; m < 8; ++m) {
            uint64_t q = 0;
            for (int b = 0; b < 8; ++b) {
                uint64_t row = 0;
                for (int t = 0; t < 8; ++t) row |= ((kA[63 - 8 * j - t] >> (8 * m + b)) & 1) << t;
                q |= row << (8 * (7 - b));
            }
            r.q[j][m] = q;
        }
    }
    return r;
}

struct TransposedConstants {
    Block c[12];
};

constexpr TransposedConstants BuildConstants() {
    constexpr Block t = BuildTranspose();
    TransposedConstants r{};
    for (int k = 0; k < 12; ++k) {
        for (int p = 0; p < 64; ++p) {
            r.c[k].b[p] = static_cast<uint8_t>(kC[k][t.b[p] / 8] >> (8 * (t.b[p] % 8)));
        }
    }
    return r;
}

struct alignas(64) PiTable {
    uint8_t b[256];
};

constexpr PiTable BuildPi() {
    PiTable r{};
    for (int x = 0; x < 256; ++x) r.b[x] = kPi[x];
    return r;
}

alignas(64) constexpr PiTable kPiTable = BuildPi();
alignas(64) constexpr Block kTranspose = BuildTranspose();
alignas(64) constexpr WordGathers kGathers = BuildGathers();
alignas(64) constexpr LinearMatrices kMatrices = BuildMatrices();
alignas(64) constexpr TransposedConstants kTransposedC = BuildConstants();

KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i Load(const void* p) {
    return _mm512_load_si512(p);
}

// The contributions of word j of the S output to every output byte.
template <int j>
KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i Product(__m512i y, const LinearMatrices& matrices) {
    return _mm512_gf2p8affine_epi64_epi8(_mm512_permutexvar_epi8(Load(kGathers.g[j].b), y),
                                         Load(matrices.q[j]), 0);
}

KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i Xor3(__m512i a, __m512i b, __m512i c) {
    return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

// One LPS step (transposed order) as four terms whose XOR is the output. The last two products
// come last; keeping them apart lets the XOR with the next round's operand happen before they
// arrive, so only one logic operation follows them.
struct LpsTerms {
    __m512i early0, early1, last0, last1;
};

KEYMEND_GFNI_TARGET KEYMEND_INLINE LpsTerms Lps(__m512i x) {
    const __m512i low = _mm512_permutex2var_epi8(Load(kPiTable.b), x, Load(kPiTable.b + 64));
    const __m512i high =
        _mm512_permutex2var_epi8(Load(kPiTable.b + 128), x, Load(kPiTable.b + 192));
    const __m512i top =
        _mm512_gf2p8affine_epi64_epi8(x, _mm512_set1_epi64(0x8080808080808080ull), 0);
    const __m512i y = _mm512_ternarylogic_epi64(top, high, low, 0xCA);
    // The matrices are read from memory at every step (the address hidden from the optimiser):
    // kept in registers they would push working values, which may be secret, onto the stack.
    const LinearMatrices* m = &kMatrices;
    __asm__("" : "+r"(m));
    return {Xor3(Product<0>(y, *m), Product<1>(y, *m), Product<2>(y, *m)),
            Xor3(Product<3>(y, *m), Product<4>(y, *m), Product<5>(y, *m)), Product<6>(y, *m),
            Product<7>(y, *m)};
}

// LPS output ^ z.
KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i XorInto(const LpsTerms& t, __m512i z) {
    return Xor3(Xor3(t.early0, t.early1, z), t.last0, t.last1);
}

KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i Transpose(__m512i v) {
    return _mm512_permutexvar_epi8(Load(kTranspose.b), v);
}

KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i LoadTransposed(const uint64_t w[8]) {
    return Transpose(_mm512_loadu_si512(w));
}

// g_N(h, m) on transposed values: E(LPS(h ^ N), m) ^ h ^ m.
KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i Rounds(__m512i ht, __m512i nt, __m512i mt) {
    const __m512i zero = _mm512_setzero_si512();
    LpsTerms key = Lps(_mm512_xor_si512(ht, nt));  // K1
    __m512i s = mt;
    // Each round starts the next key before the data step that uses the current one, so that
    // the key chain, the longer dependency, stays ahead.
    for (int r = 0; r < 12; ++r) {
        const LpsTerms next = Lps(XorInto(key, Load(kTransposedC.c[r].b)));
        s = XorInto(Lps(XorInto(key, s)), zero);
        key = next;
    }
    return XorInto(key, Xor3(s, mt, ht));
}

// The same with the round keys K1..K13 given (untransposed).
KEYMEND_GFNI_TARGET KEYMEND_INLINE __m512i RoundsWithKeys(__m512i ht, const KeySchedule& keys,
                                                          __m512i mt) {
    const __m512i zero = _mm512_setzero_si512();
    __m512i s = mt;
    for (int r = 0; r < 12; ++r) {
        s = XorInto(Lps(_mm512_xor_si512(LoadTransposed(keys.k[r]), s)), zero);
    }
    return _mm512_xor_si512(Xor3(s, mt, ht), LoadTransposed(keys.k[12]));
}

}  // namespace

KEYMEND_GFNI_TARGET void CompressGfni(uint64_t h[8], const uint64_t n[8], const uint64_t m[8]) {
    const __m512i ht = Rounds(LoadTransposed(h), LoadTransposed(n), LoadTransposed(m));
    _mm512_storeu_si512(h, Transpose(ht));
}

KEYMEND_GFNI_TARGET void CompressFirstGfni(uint64_t h[8], const KeySchedule& keys,
                                           const uint64_t m[8]) {
    const __m512i ht = RoundsWithKeys(LoadTransposed(h), keys, LoadTransposed(m));
    _mm512_storeu_si512(h, Transpose(ht));
}

KEYMEND_GFNI_TARGET void AbsorbGfni(uint64_t h[8], uint64_t n[8], uint64_t sigma[8],
                                    const uint8_t* data, size_t blocks,
                                    const KeySchedule* firstKeys) {
    __m512i ht = LoadTransposed(h);
    // N in a register too: only its low word changes unless it wraps.
    __m512i nv = _mm512_loadu_si512(n);
    for (size_t b = 0; b < blocks; ++b, data += 64) {
        const __m512i mt = Transpose(_mm512_loadu_si512(data));
        if (b == 0 && firstKeys != nullptr) {
            ht = RoundsWithKeys(ht, *firstKeys, mt);
        } else {
            ht = Rounds(ht, Transpose(nv), mt);
        }
        AddBits(n, 512);
        Add512(sigma, data);
        nv = n[0] >= 512 ? _mm512_mask_set1_epi64(nv, 1, static_cast<long long>(n[0]))
                         : _mm512_loadu_si512(n);
    }
    _mm512_storeu_si512(h, Transpose(ht));
}

}  // namespace keymend::streebog

#endif  // KEYMEND_STREEBOG_GFNI

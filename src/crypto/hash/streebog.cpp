// GOST R 34.11-2012 in both lengths. LPS runs as eight 64-bit table lookups per output word
// through a table computed at compile time from pi and the matrix A; where the processor has
// GFNI and AVX-512 VBMI, the compression runs in vector registers instead (streebog_gfni.cpp).
#include <bit>
#include <cstring>
#include <type_traits>

#include "crypto/context/secure_blob.h"
#include "crypto/hash/hash.h"
#include "crypto/hash/streebog_constants.h"
#include "crypto/hash/streebog_internal.h"

namespace keymend {

static_assert(std::endian::native == std::endian::little, "words are loaded in memory order");

namespace {

using streebog::Add512;
using streebog::AddBits;
using streebog::kA;
using streebog::kC;
using streebog::KeySchedule;
using streebog::kPi;

// Entry x of table j: the linear transform L of pi(x) placed in byte j, so that one output word
// of L(P(S(x))) is the XOR of eight lookups.
struct LpsTable {
    uint64_t t[8][256];
};

constexpr LpsTable BuildLpsTable() {
    LpsTable r{};
    for (int j = 0; j < 8; ++j) {
        for (int x = 0; x < 256; ++x) {
            uint64_t v = static_cast<uint64_t>(kPi[x]) << (8 * j), image = 0;
            for (int bit = 0; bit < 64; ++bit) {
                if ((v >> bit) & 1) image ^= kA[63 - bit];
            }
            r.t[j][x] = image;
        }
    }
    return r;
}

alignas(64) constexpr LpsTable kLps = BuildLpsTable();

// out = LPS(a ^ b). Output word i gathers byte i of every input word. Six input words give
// their bytes by shifts in registers and two by byte loads from memory, which spreads the work
// between the ALUs and the load ports; the loop is unrolled so the output words overlap.
constexpr void Lps(const uint64_t a[8], const uint64_t b[8], uint64_t out[8]) {
    uint64_t x0 = a[0] ^ b[0], x1 = a[1] ^ b[1], x2 = a[2] ^ b[2], x3 = a[3] ^ b[3];
    uint64_t x4 = a[4] ^ b[4], x5 = a[5] ^ b[5];
    uint8_t y[2][8] = {};
    for (int j = 0; j < 2; ++j) {
        uint64_t v = a[6 + j] ^ b[6 + j];
        if (std::is_constant_evaluated()) {
            for (int i = 0; i < 8; ++i) y[j][i] = static_cast<uint8_t>(v >> (8 * i));
        } else {
            std::memcpy(y[j], &v, 8);
        }
    }
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        out[i] = kLps.t[0][x0 & 255] ^ kLps.t[1][x1 & 255] ^ kLps.t[2][x2 & 255] ^
                 kLps.t[3][x3 & 255] ^ kLps.t[4][x4 & 255] ^ kLps.t[5][x5 & 255] ^
                 kLps.t[6][y[0][i]] ^ kLps.t[7][y[1][i]];
        x0 >>= 8;
        x1 >>= 8;
        x2 >>= 8;
        x3 >>= 8;
        x4 >>= 8;
        x5 >>= 8;
    }
}

// g_N(h, m) = E(LPS(h ^ N), m) ^ h ^ m; the key and the data rounds are interleaved.
void Compress(uint64_t h[8], const uint64_t n[8], const uint64_t m[8]) {
    uint64_t k[8], s[8], t[8];
    Lps(h, n, k);
    Lps(k, m, s);
    for (int r = 0; r < 11; ++r) {
        Lps(k, kC[r], t);
        Lps(t, s, s);
        std::memcpy(k, t, sizeof k);
    }
    Lps(k, kC[11], t);
    for (int i = 0; i < 8; ++i) h[i] ^= s[i] ^ t[i] ^ m[i];
    SecureWipe(k, sizeof k);
    SecureWipe(s, sizeof s);
    SecureWipe(t, sizeof t);
}

// The first compression of every message runs with h = starting vector and N = 0, so its round
// keys K1..K13 are constants: computed here at compile time, they halve the cost of that call
// (a short message has one or two data blocks in all).
constexpr KeySchedule BuildStartSchedule(uint64_t startWord) {
    KeySchedule r{};
    uint64_t start[8] = {}, zero[8] = {};
    for (auto& w : start) w = startWord;
    Lps(start, zero, r.k[0]);
    for (int i = 0; i < 12; ++i) Lps(r.k[i], kC[i], r.k[i + 1]);
    return r;
}

alignas(64) constexpr KeySchedule kStart512 = BuildStartSchedule(0);
alignas(64) constexpr KeySchedule kStart256 = BuildStartSchedule(0x0101010101010101ull);

void CompressFirst(uint64_t h[8], const KeySchedule& keys, const uint64_t m[8]) {
    uint64_t s[8];
    Lps(keys.k[0], m, s);
    for (int r = 1; r < 12; ++r) Lps(keys.k[r], s, s);
    for (int i = 0; i < 8; ++i) h[i] ^= s[i] ^ keys.k[12][i] ^ m[i];
    SecureWipe(s, sizeof s);
}

inline bool IsZero(const uint64_t n[8]) {
    uint64_t any = 0;
    for (int i = 0; i < 8; ++i) any |= n[i];
    return any == 0;
}

// Round keys of a message's first compression.
inline const KeySchedule& StartKeys(uint32_t digestSize) {
    return digestSize == 32 ? kStart256 : kStart512;
}

// For each whole block: h = g_N(h, block), N += 512, sigma += block. N = 0 only before the first
// block of a message.
void AbsorbPortable(StreebogState& state, const uint8_t* data, size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        uint64_t m[8];
        std::memcpy(m, data, 64);
        if (IsZero(state.n)) {
            CompressFirst(state.h, StartKeys(state.digestSize), m);
        } else {
            Compress(state.h, state.n, m);
        }
        AddBits(state.n, 512);
        Add512(state.sigma, data);
        SecureWipe(m, sizeof m);
    }
}

#if KEYMEND_STREEBOG_GFNI
void AbsorbVector(StreebogState& state, const uint8_t* data, size_t blocks) {
    streebog::AbsorbGfni(state.h, state.n, state.sigma, data, blocks,
                         IsZero(state.n) ? &StartKeys(state.digestSize) : nullptr);
}
#endif

// The routines of one implementation.
struct Compressor {
    void (*absorb)(StreebogState& state, const uint8_t* data, size_t blocks);
    void (*compress)(uint64_t h[8], const uint64_t n[8], const uint64_t m[8]);
    void (*compressFirst)(uint64_t h[8], const KeySchedule& keys, const uint64_t m[8]);
    const char* name;
};

constexpr Compressor kPortable = {AbsorbPortable, Compress, CompressFirst, "portable"};
#if KEYMEND_STREEBOG_GFNI
constexpr Compressor kGfni = {AbsorbVector, streebog::CompressGfni, streebog::CompressFirstGfni,
                              "gfni-avx512"};
#endif

// Asked at every update and finish, so that a feature limit set between calls takes effect.
const Compressor& SelectCompressor() {
#if KEYMEND_STREEBOG_GFNI
    if (CpuHas(streebog::kGfniFeatures)) return kGfni;
#endif
    return kPortable;
}

const uint64_t kZero[8] = {};

}  // namespace

const char* StreebogImplementation() {
    return SelectCompressor().name;
}

size_t StreebogDigestSize(uint32_t identifier) {
    switch (identifier) {
        case kAlgStreebog256:
        case kAlgHmacStreebog256:
        case kAlgStreebog256Alt:
            return 32;
        case kAlgStreebog512:
        case kAlgHmacStreebog512:
        case kAlgStreebog512Alt:
            return 64;
        default:
            return 0;
    }
}

bool StreebogInit(StreebogState& state, uint32_t identifier) {
    std::memset(&state, 0, sizeof state);
    size_t size = StreebogDigestSize(identifier);
    if (size == 0) return false;
    state.digestSize = static_cast<uint32_t>(size);
    if (size == 32) std::memset(state.h, 0x01, sizeof state.h);
    return true;
}

bool StreebogUpdate(StreebogState& state, const uint8_t* data, size_t length) {
    if (state.digestSize == 0) return false;
    if (length == 0) return true;
    if (data == nullptr) return false;
    const Compressor& c = SelectCompressor();
    if (state.pendingLength != 0) {
        size_t take = 64 - state.pendingLength;
        if (take > length) take = length;
        std::memcpy(state.pending + state.pendingLength, data, take);
        state.pendingLength += static_cast<uint32_t>(take);
        data += take;
        length -= take;
        if (state.pendingLength < 64) return true;
        c.absorb(state, state.pending, 1);
        state.pendingLength = 0;
    }
    if (length >= 64) c.absorb(state, data, length / 64);
    std::memcpy(state.pending, data + length / 64 * 64, length % 64);
    state.pendingLength = static_cast<uint32_t>(length % 64);
    return true;
}

bool StreebogFinish(const StreebogState& state, uint8_t* out) {
    if (state.digestSize == 0 || out == nullptr || state.pendingLength >= 64) return false;
    uint64_t h[8], n[8], sigma[8], m[8];
    std::memcpy(h, state.h, sizeof h);
    std::memcpy(n, state.n, sizeof n);
    std::memcpy(sigma, state.sigma, sizeof sigma);
    // Padding: the pending bytes, one 0x01 byte, zeros.
    uint8_t block[64] = {};
    std::memcpy(block, state.pending, state.pendingLength);
    block[state.pendingLength] = 0x01;
    std::memcpy(m, block, 64);
    const Compressor& c = SelectCompressor();
    if (IsZero(n)) {
        c.compressFirst(h, StartKeys(state.digestSize), m);
    } else {
        c.compress(h, n, m);
    }
    AddBits(n, 8ull * state.pendingLength);
    Add512(sigma, block);
    c.compress(h, kZero, n);
    c.compress(h, kZero, sigma);
    // The 256-bit digest is the most significant half.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(h);
    std::memcpy(out, state.digestSize == 32 ? bytes + 32 : bytes, state.digestSize);
    SecureWipe(block, sizeof block);
    SecureWipe(m, sizeof m);
    SecureWipe(h, sizeof h);
    SecureWipe(n, sizeof n);
    SecureWipe(sigma, sizeof sigma);
    return true;
}

bool StreebogHash(uint32_t identifier, const uint8_t* data, size_t length, uint8_t* out) {
    StreebogState state;
    bool ok = StreebogInit(state, identifier) && StreebogUpdate(state, data, length) &&
              StreebogFinish(state, out);
    SecureWipe(&state, sizeof state);
    return ok;
}

}  // namespace keymend

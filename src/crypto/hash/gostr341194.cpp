// GOST R 34.11-94 with the hash parameter set 1.2.643.2.2.30.1 and the zero starting vector.
#include <bit>
#include <cstring>

#include "crypto/hash/gostr341194_constants.h"
#include "crypto/hash/hash.h"
#include "crypto/context/secure_blob.h"

namespace keymend {

static_assert(std::endian::native == std::endian::little, "words are loaded in memory order");

namespace {

using gostr341194::kC3;
using gostr341194::kSbox;

// The S-box as four 256-entry tables, one per input byte, with the 11-bit rotation folded in, so
// that a GOST 28147-89 round function is four lookups.
struct RoundTables {
    uint32_t t[4][256];
};

constexpr RoundTables BuildRoundTables() {
    RoundTables r{};
    for (int t = 0; t < 4; ++t) {
        for (int x = 0; x < 256; ++x) {
            uint32_t v = static_cast<uint32_t>(kSbox[2 * t + 1][x >> 4] << 4 | kSbox[2 * t][x & 15]);
            r.t[t][x] = std::rotl(v << (8 * t), 11);
        }
    }
    return r;
}

alignas(64) constinit const RoundTables kRound = BuildRoundTables();

inline uint32_t RoundF(uint32_t x) {
    return kRound.t[0][x & 255] ^ kRound.t[1][(x >> 8) & 255] ^ kRound.t[2][(x >> 16) & 255] ^
           kRound.t[3][x >> 24];
}

// GOST 28147-89 simple substitution encryption of one block (bytes 0..3 = N1) under key k.
inline uint64_t EncryptBlock(uint64_t block, const uint32_t k[8]) {
    uint32_t n1 = static_cast<uint32_t>(block), n2 = static_cast<uint32_t>(block >> 32);
    for (int r = 0; r < 3; ++r) {
        n2 ^= RoundF(n1 + k[0]);
        n1 ^= RoundF(n2 + k[1]);
        n2 ^= RoundF(n1 + k[2]);
        n1 ^= RoundF(n2 + k[3]);
        n2 ^= RoundF(n1 + k[4]);
        n1 ^= RoundF(n2 + k[5]);
        n2 ^= RoundF(n1 + k[6]);
        n1 ^= RoundF(n2 + k[7]);
    }
    n2 ^= RoundF(n1 + k[7]);
    n1 ^= RoundF(n2 + k[6]);
    n2 ^= RoundF(n1 + k[5]);
    n1 ^= RoundF(n2 + k[4]);
    n2 ^= RoundF(n1 + k[3]);
    n1 ^= RoundF(n2 + k[2]);
    n2 ^= RoundF(n1 + k[1]);
    n1 ^= RoundF(n2 + k[0]);
    return static_cast<uint64_t>(n1) << 32 | n2;
}

// Transform P: key word j takes byte j of each 64-bit word of w, word 0 lowest.
inline void TransformP(const uint64_t w[4], uint32_t k[8]) {
    for (int j = 0; j < 8; ++j) {
        k[j] = static_cast<uint32_t>((w[0] >> (8 * j)) & 0xff) |
               static_cast<uint32_t>((w[1] >> (8 * j)) & 0xff) << 8 |
               static_cast<uint32_t>((w[2] >> (8 * j)) & 0xff) << 16 |
               static_cast<uint32_t>((w[3] >> (8 * j)) & 0xff) << 24;
    }
}

// Transform A: (y4, y3, y2, y1) -> (y1 ^ y2, y4, y3, y2), y1 the lowest word.
inline void TransformA(uint64_t y[4]) {
    uint64_t low = y[0] ^ y[1];
    y[0] = y[1];
    y[1] = y[2];
    y[2] = y[3];
    y[3] = low;
}

// The shift register behind psi: psi^n of a 16-word value is words n..n+15 of the sequence
// w[k + 16] = w[k] ^ w[k + 1] ^ w[k + 2] ^ w[k + 3] ^ w[k + 12] ^ w[k + 15].
inline void PsiRun(uint16_t* w, int steps) {
    for (int k = 0; k < steps; ++k) {
        w[k + 16] = static_cast<uint16_t>(w[k] ^ w[k + 1] ^ w[k + 2] ^ w[k + 3] ^ w[k + 12] ^
                                          w[k + 15]);
    }
}

// Step function f(H, M): key generation, encryption of the four parts of H, mixing by psi.
void Compress(uint64_t h[4], const uint64_t m[4]) {
    uint32_t keys[4][8];
    uint64_t u[4] = {h[0], h[1], h[2], h[3]};
    uint64_t v[4] = {m[0], m[1], m[2], m[3]};
    uint64_t w[4];
    for (int j = 0; j < 4; ++j) {
        if (j != 0) {
            TransformA(u);
            if (j == 2) {
                for (int i = 0; i < 4; ++i) u[i] ^= kC3[i];
            }
            TransformA(v);
            TransformA(v);
        }
        for (int i = 0; i < 4; ++i) w[i] = u[i] ^ v[i];
        TransformP(w, keys[j]);
    }
    uint64_t s[4];
    for (int i = 0; i < 4; ++i) s[i] = EncryptBlock(h[i], keys[i]);

    // f = psi^61(H ^ psi(M ^ psi^12(S))).
    uint16_t seq[16 + 61];
    std::memcpy(seq, s, 32);
    PsiRun(seq, 12);
    uint16_t mw[16];
    std::memcpy(mw, m, 32);
    for (int i = 0; i < 16; ++i) seq[i] = static_cast<uint16_t>(seq[12 + i] ^ mw[i]);
    PsiRun(seq, 1);
    uint16_t hw[16];
    std::memcpy(hw, h, 32);
    for (int i = 0; i < 16; ++i) seq[i] = static_cast<uint16_t>(seq[1 + i] ^ hw[i]);
    PsiRun(seq, 61);
    std::memcpy(h, seq + 61, 32);
    SecureWipe(keys, sizeof keys);
    SecureWipe(u, sizeof u);
    SecureWipe(v, sizeof v);
    SecureWipe(w, sizeof w);
    SecureWipe(s, sizeof s);
    SecureWipe(seq, sizeof seq);
    SecureWipe(mw, sizeof mw);
    SecureWipe(hw, sizeof hw);
}

inline void AddBlock(uint64_t sum[4], const uint64_t m[4]) {
    uint64_t carry = 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t a = sum[i] + m[i];
        uint64_t c1 = a < m[i];
        sum[i] = a + carry;
        carry = c1 | (sum[i] < a);
    }
}

inline void AbsorbBlock(GostR341194State& state, const uint8_t* block) {
    uint64_t m[4];
    std::memcpy(m, block, 32);
    Compress(state.h, m);
    AddBlock(state.sigma, m);
    SecureWipe(m, sizeof m);
}

}  // namespace

void GostR341194Reset(GostR341194State& state) { std::memset(&state, 0, sizeof state); }

bool GostR341194Update(GostR341194State& state, const uint8_t* data, size_t length) {
    if (length == 0) return true;
    if (data == nullptr) return false;
    size_t pending = static_cast<size_t>(state.count % 32);
    state.count += length;
    if (pending != 0) {
        size_t take = 32 - pending < length ? 32 - pending : length;
        std::memcpy(state.pending + pending, data, take);
        data += take;
        length -= take;
        if (pending + take < 32) return true;
        AbsorbBlock(state, state.pending);
    }
    for (; length >= 32; data += 32, length -= 32) AbsorbBlock(state, data);
    std::memset(state.pending, 0, sizeof state.pending);
    std::memcpy(state.pending, data, length);
    return true;
}

bool GostR341194Finish(const GostR341194State& state, uint8_t out[32]) {
    if (out == nullptr) return false;
    uint64_t h[4], sigma[4], m[4];
    std::memcpy(h, state.h, sizeof h);
    std::memcpy(sigma, state.sigma, sizeof sigma);
    size_t pending = static_cast<size_t>(state.count % 32);
    if (pending != 0) {
        uint8_t block[32] = {};
        std::memcpy(block, state.pending, pending);
        std::memcpy(m, block, 32);
        SecureWipe(block, sizeof block);
        Compress(h, m);
        AddBlock(sigma, m);
    }
    // Message length in bits as a 256-bit number.
    m[0] = state.count << 3;
    m[1] = state.count >> 61;
    m[2] = m[3] = 0;
    Compress(h, m);
    Compress(h, sigma);
    std::memcpy(out, h, 32);
    SecureWipe(h, sizeof h);
    SecureWipe(sigma, sizeof sigma);
    SecureWipe(m, sizeof m);
    return true;
}

bool GostR341194Hash(const uint8_t* data, size_t length, uint8_t out[32],
                     const uint8_t* startVector) {
    GostR341194State state;
    GostR341194Reset(state);
    if (startVector != nullptr) std::memcpy(state.h, startVector, 32);
    bool ok = GostR341194Update(state, data, length) && GostR341194Finish(state, out);
    SecureWipe(&state, sizeof state);
    return ok;
}

}  // namespace keymend

// Portable compression functions of SHA-1, SHA-256 (also SHA-224) and SHA-512 (also SHA-384),
// FIPS 180-4 sections 6.1.2, 6.2.2 and 6.4.2, with the message schedule kept in a rolling window
// of 16 words. The window and the working variables are wiped after the last block.
#include "crypto/context/secure_blob.h"
#include "crypto/sha/sha_internal.h"

namespace keymend::sha_detail {

namespace {

inline uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}
inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}
inline uint64_t Rotr(uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

inline uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline uint64_t Load64(const uint8_t* p) {
    return static_cast<uint64_t>(Load32(p)) << 32 | Load32(p + 4);
}

inline uint32_t Ch(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) ^ (~x & z);
}
inline uint64_t Ch(uint64_t x, uint64_t y, uint64_t z) {
    return (x & y) ^ (~x & z);
}
inline uint32_t Maj(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) ^ (x & z) ^ (y & z);
}
inline uint64_t Maj(uint64_t x, uint64_t y, uint64_t z) {
    return (x & y) ^ (x & z) ^ (y & z);
}

}  // namespace

void Sha1CompressPortable(uint32_t* h, const uint8_t* blocks, size_t count) {
    uint32_t w[16];
    for (; count > 0; --count, blocks += 64) {
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
#pragma GCC unroll 80
        for (int t = 0; t < 80; ++t) {
            uint32_t wt;
            if (t < 16) {
                wt = w[t] = Load32(blocks + 4 * t);
            } else {
                wt = w[t & 15] =
                    Rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
            }
            uint32_t f;
            if (t < 20) {
                f = Ch(b, c, d);
            } else if (t < 40 || t >= 60) {
                f = b ^ c ^ d;
            } else {
                f = Maj(b, c, d);
            }
            const uint32_t temp = Rotl(a, 5) + f + e + kSha1K[t / 20] + wt;
            e = d, d = c, c = Rotl(b, 30), b = a, a = temp;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    SecureWipe(w, sizeof w);
}

void Sha256CompressPortable(uint32_t* h, const uint8_t* blocks, size_t count) {
    uint32_t w[16], v[8];
    for (; count > 0; --count, blocks += 64) {
        for (int i = 0; i < 8; ++i) v[i] = h[i];
#pragma GCC unroll 64
        for (int t = 0; t < 64; ++t) {
            uint32_t wt;
            if (t < 16) {
                wt = w[t] = Load32(blocks + 4 * t);
            } else {
                const uint32_t x = w[(t - 15) & 15], y = w[(t - 2) & 15];
                const uint32_t s0 = Rotr(x, 7) ^ Rotr(x, 18) ^ (x >> 3);
                const uint32_t s1 = Rotr(y, 17) ^ Rotr(y, 19) ^ (y >> 10);
                wt = w[t & 15] += s0 + w[(t - 7) & 15] + s1;
            }
            // v[0..7] are a..h of the standard.
            const uint32_t t1 = v[7] + (Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25)) +
                                Ch(v[4], v[5], v[6]) + kSha256K[t] + wt;
            const uint32_t t2 =
                (Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22)) + Maj(v[0], v[1], v[2]);
            v[7] = v[6], v[6] = v[5], v[5] = v[4], v[4] = v[3] + t1;
            v[3] = v[2], v[2] = v[1], v[1] = v[0], v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    SecureWipe(w, sizeof w);
    SecureWipe(v, sizeof v);
}

void Sha512CompressPortable(uint64_t* h, const uint8_t* blocks, size_t count) {
    uint64_t w[16], v[8];
    for (; count > 0; --count, blocks += 128) {
        for (int i = 0; i < 8; ++i) v[i] = h[i];
#pragma GCC unroll 80
        for (int t = 0; t < 80; ++t) {
            uint64_t wt;
            if (t < 16) {
                wt = w[t] = Load64(blocks + 8 * t);
            } else {
                const uint64_t x = w[(t - 15) & 15], y = w[(t - 2) & 15];
                const uint64_t s0 = Rotr(x, 1) ^ Rotr(x, 8) ^ (x >> 7);
                const uint64_t s1 = Rotr(y, 19) ^ Rotr(y, 61) ^ (y >> 6);
                wt = w[t & 15] += s0 + w[(t - 7) & 15] + s1;
            }
            const uint64_t t1 = v[7] + (Rotr(v[4], 14) ^ Rotr(v[4], 18) ^ Rotr(v[4], 41)) +
                                Ch(v[4], v[5], v[6]) + kSha512K[t] + wt;
            const uint64_t t2 =
                (Rotr(v[0], 28) ^ Rotr(v[0], 34) ^ Rotr(v[0], 39)) + Maj(v[0], v[1], v[2]);
            v[7] = v[6], v[6] = v[5], v[5] = v[4], v[4] = v[3] + t1;
            v[3] = v[2], v[2] = v[1], v[1] = v[0], v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    SecureWipe(w, sizeof w);
    SecureWipe(v, sizeof v);
}

}  // namespace keymend::sha_detail

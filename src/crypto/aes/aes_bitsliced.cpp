// Bitsliced AES: four blocks in eight 64-bit words, word b holding bit b of every state octet.
// In each word, block k owns bits 16k..16k+15 and the octet in row r, column c of its state sits
// at bit 16k + 4r + c, so that a row is a nibble: ShiftRows rotates nibbles and MixColumns
// rotates each 16-bit lane by whole rows. The S-box is the 113-gate circuit of Boyar and Peralta
// (a tower-field inversion with the affine map folded in); the inverse S-box wraps it in the
// inverse affine map: S^-1(y) = A(S(A(y))) with A(v) = L(v) ^ 0x05, L the linear part of the
// inverse affine transformation (FIPS 197 section 5.3.2).
#include <cstring>

#include "crypto/aes/aes_internal.h"
#include "crypto/context/secure_blob.h"

namespace keymend::aes_detail {

namespace {

constexpr uint64_t Lanes(uint64_t pattern16) {
    return pattern16 * 0x0001000100010001ull;
}

// Forward S-box on all 64 octets at once. q[7] holds the most significant bit (the circuit's x0).
void SubBytes(uint64_t* q) {
    const uint64_t x0 = q[7], x1 = q[6], x2 = q[5], x3 = q[4];
    const uint64_t x4 = q[3], x5 = q[2], x6 = q[1], x7 = q[0];

    // Top linear layer.
    const uint64_t y14 = x3 ^ x5, y13 = x0 ^ x6, y9 = x0 ^ x3, y8 = x0 ^ x5;
    const uint64_t t0 = x1 ^ x2, y1 = t0 ^ x7, y4 = y1 ^ x3, y12 = y13 ^ y14;
    const uint64_t y2 = y1 ^ x0, y5 = y1 ^ x6, y3 = y5 ^ y8, t1 = x4 ^ y12;
    const uint64_t y15 = t1 ^ x5, y20 = t1 ^ x1, y6 = y15 ^ x7, y10 = y15 ^ t0;
    const uint64_t y11 = y20 ^ y9, y7 = x7 ^ y11, y17 = y10 ^ y11, y19 = y10 ^ y8;
    const uint64_t y16 = t0 ^ y11, y21 = y13 ^ y16, y18 = x0 ^ y16;

    // Non-linear middle: inversion in GF(2^4)^2.
    const uint64_t t2 = y12 & y15, t3 = y3 & y6, t4 = t3 ^ t2, t5 = y4 & x7;
    const uint64_t t6 = t5 ^ t2, t7 = y13 & y16, t8 = y5 & y1, t9 = t8 ^ t7;
    const uint64_t t10 = y2 & y7, t11 = t10 ^ t7, t12 = y9 & y11, t13 = y14 & y17;
    const uint64_t t14 = t13 ^ t12, t15 = y8 & y10, t16 = t15 ^ t12, t17 = t4 ^ t14;
    const uint64_t t18 = t6 ^ t16, t19 = t9 ^ t14, t20 = t11 ^ t16, t21 = t17 ^ y20;
    const uint64_t t22 = t18 ^ y19, t23 = t19 ^ y21, t24 = t20 ^ y18;

    const uint64_t t25 = t21 ^ t22, t26 = t21 & t23, t27 = t24 ^ t26, t28 = t25 & t27;
    const uint64_t t29 = t28 ^ t22, t30 = t23 ^ t24, t31 = t22 ^ t26, t32 = t31 & t30;
    const uint64_t t33 = t32 ^ t24, t34 = t23 ^ t33, t35 = t27 ^ t33, t36 = t24 & t35;
    const uint64_t t37 = t36 ^ t34, t38 = t27 ^ t36, t39 = t29 & t38, t40 = t25 ^ t39;

    const uint64_t t41 = t40 ^ t37, t42 = t29 ^ t33, t43 = t29 ^ t40, t44 = t33 ^ t37;
    const uint64_t t45 = t42 ^ t41;
    const uint64_t z0 = t44 & y15, z1 = t37 & y6, z2 = t33 & x7, z3 = t43 & y16;
    const uint64_t z4 = t40 & y1, z5 = t29 & y7, z6 = t42 & y11, z7 = t45 & y17;
    const uint64_t z8 = t41 & y10, z9 = t44 & y12, z10 = t37 & y3, z11 = t33 & y4;
    const uint64_t z12 = t43 & y13, z13 = t40 & y5, z14 = t29 & y2, z15 = t42 & y9;
    const uint64_t z16 = t45 & y14, z17 = t41 & y8;

    // Bottom linear layer, with the affine constant 0x63 as complements.
    const uint64_t t46 = z15 ^ z16, t47 = z10 ^ z11, t48 = z5 ^ z13, t49 = z9 ^ z10;
    const uint64_t t50 = z2 ^ z12, t51 = z2 ^ z5, t52 = z7 ^ z8, t53 = z0 ^ z3;
    const uint64_t t54 = z6 ^ z7, t55 = z16 ^ z17, t56 = z12 ^ t48, t57 = t50 ^ t53;
    const uint64_t t58 = z4 ^ t46, t59 = z3 ^ t54, t60 = t46 ^ t57, t61 = z14 ^ t57;
    const uint64_t t62 = t52 ^ t58, t63 = t49 ^ t58, t64 = z4 ^ t59, t65 = t61 ^ t62;
    const uint64_t t66 = z1 ^ t63, t67 = t64 ^ t65;
    const uint64_t s0 = t59 ^ t63, s6 = t56 ^ ~t62, s7 = t48 ^ ~t60;
    const uint64_t s3 = t53 ^ t66, s4 = t51 ^ t66, s5 = t47 ^ t65;
    const uint64_t s1 = t64 ^ ~s3, s2 = t55 ^ ~t67;

    q[7] = s0, q[6] = s1, q[5] = s2, q[4] = s3;
    q[3] = s4, q[2] = s5, q[1] = s6, q[0] = s7;
}

// v -> L(v) ^ 0x05, bit i of L(v) being v[i+2] ^ v[i+5] ^ v[i+7] (indices mod 8).
void InverseAffine(uint64_t* q) {
    uint64_t t[8];
    for (int i = 0; i < 8; ++i) t[i] = q[(i + 2) & 7] ^ q[(i + 5) & 7] ^ q[(i + 7) & 7];
    for (int i = 0; i < 8; ++i) q[i] = t[i];
    q[0] = ~q[0];
    q[2] = ~q[2];
}

void InvSubBytes(uint64_t* q) {
    InverseAffine(q);
    SubBytes(q);
    InverseAffine(q);
}

// Row r (bits 4r..4r+3 of each lane) rotated by r columns towards higher column numbers.
void InvShiftRows(uint64_t* q) {
    for (int i = 0; i < 8; ++i) {
        const uint64_t x = q[i];
        q[i] = (x & Lanes(0x000F)) | ((x << 1) & Lanes(0x00E0)) | ((x >> 3) & Lanes(0x0010)) |
               ((x << 2) & Lanes(0x0C00)) | ((x >> 2) & Lanes(0x0300)) |
               ((x >> 1) & Lanes(0x7000)) | ((x << 3) & Lanes(0x8000));
    }
}

// Each lane rotated so that row r receives row r + n (n = 1, 2).
inline uint64_t RowsUp1(uint64_t x) {
    return ((x >> 4) & Lanes(0x0FFF)) | ((x << 12) & Lanes(0xF000));
}
inline uint64_t RowsUp2(uint64_t x) {
    return ((x >> 8) & Lanes(0x00FF)) | ((x << 8) & Lanes(0xFF00));
}

// Multiplication by x (0x02) in GF(2^8) of every octet.
void Times2(uint64_t* q) {
    const uint64_t top = q[7];
    q[7] = q[6], q[6] = q[5], q[5] = q[4], q[4] = q[3] ^ top;
    q[3] = q[2] ^ top, q[2] = q[1], q[1] = q[0] ^ top, q[0] = top;
}

// InvMixColumns as MixColumns after the multiplication of each column by 04x^2 + 05:
// a'_r = a_r ^ 4 (a_r ^ a_{r+2}); then b_r = 2 (a'_r ^ a'_{r+1}) ^ a'_{r+1} ^ a'_{r+2} ^ a'_{r+3}.
void InvMixColumns(uint64_t* q) {
    uint64_t u[8];
    for (int i = 0; i < 8; ++i) u[i] = q[i] ^ RowsUp2(q[i]);
    Times2(u);
    Times2(u);
    for (int i = 0; i < 8; ++i) q[i] ^= u[i];
    uint64_t up1[8];
    for (int i = 0; i < 8; ++i) {
        up1[i] = RowsUp1(q[i]);
        u[i] = q[i] ^ up1[i];  // a_r ^ a_{r+1}
    }
    for (int i = 0; i < 8; ++i) q[i] = up1[i] ^ RowsUp2(u[i]);  // a_{r+1} ^ a_{r+2} ^ a_{r+3}
    Times2(u);
    for (int i = 0; i < 8; ++i) q[i] ^= u[i];
}

// Transposes an 8x8 bit matrix: bit 8r + c moves to bit 8c + r.
inline uint64_t Transpose8x8(uint64_t x) {
    uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x ^= t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x ^= t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    x ^= t ^ (t << 28);
    return x;
}

// Offset in a 64-octet batch of the state octet at bit position p (block p / 16, row, column).
inline size_t OctetAt(size_t p) {
    return 16 * (p >> 4) + ((p >> 2) & 3) + 4 * (p & 3);
}

// Four 16-octet blocks (in FIPS 197 order) into bit planes, and back.
void Bitslice(const uint8_t* in, uint64_t* q) {
    for (int b = 0; b < 8; ++b) q[b] = 0;
    for (size_t chunk = 0; chunk < 8; ++chunk) {
        uint64_t x = 0;
        for (size_t t = 0; t < 8; ++t)
            x |= static_cast<uint64_t>(in[OctetAt(8 * chunk + t)]) << (8 * t);
        x = Transpose8x8(x);
        for (int b = 0; b < 8; ++b) q[b] |= ((x >> (8 * b)) & 0xFF) << (8 * chunk);
    }
}

void Unbitslice(const uint64_t* q, uint8_t* out) {
    for (size_t chunk = 0; chunk < 8; ++chunk) {
        uint64_t x = 0;
        for (int b = 0; b < 8; ++b) x |= ((q[b] >> (8 * chunk)) & 0xFF) << (8 * b);
        x = Transpose8x8(x);
        for (size_t t = 0; t < 8; ++t)
            out[OctetAt(8 * chunk + t)] = static_cast<uint8_t>(x >> (8 * t));
    }
}

void AddRoundKey(uint64_t* q, const uint64_t* k) {
    for (int i = 0; i < 8; ++i) q[i] ^= k[i];
}

// The inverse cipher (FIPS 197 section 5.3) on four blocks.
void DecryptPlanes(const uint64_t (*keys)[8], uint32_t rounds, uint64_t* q) {
    AddRoundKey(q, keys[rounds]);
    for (uint32_t r = rounds - 1; r > 0; --r) {
        InvShiftRows(q);
        InvSubBytes(q);
        AddRoundKey(q, keys[r]);
        InvMixColumns(q);
    }
    InvShiftRows(q);
    InvSubBytes(q);
    AddRoundKey(q, keys[0]);
}

}  // namespace

uint32_t SubWord(uint32_t word) {
    uint64_t q[8];
    for (int b = 0; b < 8; ++b) {
        q[b] = 0;
        for (int j = 0; j < 4; ++j) q[b] |= static_cast<uint64_t>((word >> (8 * j + b)) & 1) << j;
    }
    SubBytes(q);
    uint32_t out = 0;
    for (int b = 0; b < 8; ++b) {
        for (int j = 0; j < 4; ++j) out |= static_cast<uint32_t>((q[b] >> j) & 1) << (8 * j + b);
    }
    SecureWipe(q, sizeof q);
    return out;
}

void CbcDecryptBitsliced(const AesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                         size_t blocks) {
    uint64_t keys[15][8];
    uint8_t batch[64], plain[64], chain[16];
    uint64_t q[8];
    for (uint32_t r = 0; r <= key.rounds; ++r) {
        for (int copy = 0; copy < 4; ++copy)
            std::memcpy(batch + 16 * copy, key.roundKeys + 16 * r, 16);
        Bitslice(batch, keys[r]);
    }
    std::memcpy(chain, iv, 16);
    while (blocks > 0) {
        const size_t n = blocks < 4 ? blocks : 4;
        std::memset(batch, 0, sizeof batch);
        std::memcpy(batch, in, 16 * n);  // the ciphertext is kept: `out` may be `in`
        Bitslice(batch, q);
        DecryptPlanes(keys, key.rounds, q);
        Unbitslice(q, plain);
        for (size_t i = 0; i < 16 * n; ++i) out[i] = plain[i] ^ (i < 16 ? chain[i] : batch[i - 16]);
        std::memcpy(chain, batch + 16 * (n - 1), 16);
        in += 16 * n, out += 16 * n, blocks -= n;
    }
    SecureWipe(keys, sizeof keys);
    SecureWipe(batch, sizeof batch);
    SecureWipe(plain, sizeof plain);
    SecureWipe(q, sizeof q);
}

}  // namespace keymend::aes_detail

// DES rounds, key schedule and the EDE composition. Between the three passes of triple DES the
// final and initial permutations cancel, so they are applied once around the whole.
#include "crypto/des/des.h"

#include <cstring>

#include "crypto/cbc/cbc.h"
#include "crypto/context/secure_blob.h"
#include "crypto/des/des_tables.h"

namespace keymend {

namespace {

using namespace des_detail;

// Output bit i (numbered from 1, most significant first) is input bit table[i - 1] of an
// inBits-wide value.
uint64_t Permute(uint64_t in, const uint8_t* table, int outBits, int inBits) {
    uint64_t out = 0;
    for (int i = 0; i < outBits; ++i) out = out << 1 | ((in >> (inBits - table[i])) & 1);
    return out;
}

inline uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << ((32 - n) & 31));
}

// The cipher function f(R, K): E, the key, the S-boxes and P.
inline uint32_t F(uint32_t r, const uint8_t* k) {
    uint32_t out = 0;
    for (int box = 0; box < 8; ++box) {
        // Bits 4box..4box+5 of R (wrapping), the first one most significant.
        const uint32_t six = Rotr(r, (27 - 4 * box) & 31) & 0x3F;
        out |= kSBoxPermuted.entries[box][six ^ k[box]];
    }
    return out;
}

// Sixteen rounds on (l, r), ending with the halves exchanged as the standard's preoutput R16 L16.
void Rounds(uint32_t& l, uint32_t& r, const uint8_t (*keys)[8], bool decrypt) {
    for (int round = 0; round < 16; ++round) {
        const uint32_t t = l ^ F(r, keys[decrypt ? 15 - round : round]);
        l = r;
        r = t;
    }
    const uint32_t t = l;
    l = r;
    r = t;
}

uint64_t Load64(const uint8_t* p) {
    uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x = x << 8 | p[i];
    return x;
}

void ExpandOne(const uint8_t* keyBytes, uint8_t (*rounds)[8]) {
    const uint64_t cd = Permute(Load64(keyBytes), kPermutedChoice1, 56, 64);
    uint32_t c = static_cast<uint32_t>(cd >> 28), d = static_cast<uint32_t>(cd & 0xFFFFFFF);
    for (int round = 0; round < 16; ++round) {
        const int s = kKeyShifts[round];
        c = ((c << s) | (c >> (28 - s))) & 0xFFFFFFF;
        d = ((d << s) | (d >> (28 - s))) & 0xFFFFFFF;
        const uint64_t sub = Permute(static_cast<uint64_t>(c) << 28 | d, kPermutedChoice2, 48, 56);
        for (int box = 0; box < 8; ++box) {
            rounds[round][box] = static_cast<uint8_t>((sub >> (42 - 6 * box)) & 0x3F);
        }
    }
}

}  // namespace

bool DesSetKey(DesKey& key, const uint8_t* keyBytes, size_t keyLength) {
    key.keys = 0;
    if (keyBytes == nullptr || (keyLength != 8 && keyLength != 16 && keyLength != 24)) {
        return false;
    }
    ExpandOne(keyBytes, key.rounds[0]);
    if (keyLength == 8) {
        key.keys = 1;
        return true;
    }
    ExpandOne(keyBytes + 8, key.rounds[1]);
    if (keyLength == 24) {
        ExpandOne(keyBytes + 16, key.rounds[2]);
    } else {
        std::memcpy(key.rounds[2], key.rounds[0], sizeof key.rounds[0]);
    }
    key.keys = 3;
    return true;
}

bool DesCbcDecrypt(const DesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                   size_t length) {
    if (key.keys == 0) return false;
    auto decryptBlock = [&key](const uint8_t* c, uint8_t* p) {
        const uint64_t x = Permute(Load64(c), kInitialPermutation, 64, 64);
        uint32_t l = static_cast<uint32_t>(x >> 32), r = static_cast<uint32_t>(x);
        if (key.keys == 1) {
            Rounds(l, r, key.rounds[0], true);
        } else {
            Rounds(l, r, key.rounds[2], true);
            Rounds(l, r, key.rounds[1], false);
            Rounds(l, r, key.rounds[0], true);
        }
        const uint64_t y = Permute(static_cast<uint64_t>(l) << 32 | r, kFinalPermutation, 64, 64);
        for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(y >> (56 - 8 * i));
    };
    return CbcDecrypt<kDesBlockSize>(decryptBlock, iv, in, out, length);
}

}  // namespace keymend

// RC2 key expansion (RFC 2268 section 2) and decryption (section 4): five mixing rounds, one
// mashing round, six mixing rounds, one mashing round and five mixing rounds, all reversed.
#include "crypto/rc2/rc2.h"

#include "crypto/cbc/cbc.h"
#include "crypto/context/secure_blob.h"
#include "crypto/rc2/rc2_table.h"

namespace keymend {

namespace {

using rc2_detail::kPiTable;

inline uint16_t Rotr16(uint16_t x, int n) {
    return static_cast<uint16_t>((x >> n) | (x << (16 - n)));
}

// The reverse of an r-mixing round; j counts down through the key words.
inline void ReverseMixRound(uint16_t* r, const uint16_t* k, int& j) {
    static constexpr int kShifts[4] = {1, 2, 3, 5};
    for (int i = 3; i >= 0; --i) {
        r[i] = Rotr16(r[i], kShifts[i]);
        r[i] = static_cast<uint16_t>(r[i] - k[j] - (r[(i + 3) & 3] & r[(i + 2) & 3]) -
                                     (~r[(i + 3) & 3] & r[(i + 1) & 3]));
        --j;
    }
}

inline void ReverseMashRound(uint16_t* r, const uint16_t* k) {
    for (int i = 3; i >= 0; --i) r[i] = static_cast<uint16_t>(r[i] - k[r[(i + 3) & 3] & 63]);
}

}  // namespace

bool Rc2SetKey(Rc2Key& key, const uint8_t* keyBytes, size_t keyLength, uint32_t effectiveBits) {
    key.ready = false;
    if (keyBytes == nullptr || keyLength < 1 || keyLength > 128 || effectiveBits < 1 ||
        effectiveBits > 1024) {
        return false;
    }
    uint8_t l[128];
    for (size_t i = 0; i < keyLength; ++i) l[i] = keyBytes[i];
    for (size_t i = keyLength; i < 128; ++i) l[i] = kPiTable[(l[i - 1] + l[i - keyLength]) & 255];
    const size_t t8 = (effectiveBits + 7) / 8;
    const uint8_t tm = static_cast<uint8_t>(255 % (1u << (8 + effectiveBits - 8 * t8)));
    l[128 - t8] = kPiTable[l[128 - t8] & tm];
    for (size_t i = 128 - t8; i-- > 0;) l[i] = kPiTable[l[i + 1] ^ l[i + t8]];
    for (int i = 0; i < 64; ++i) key.words[i] = static_cast<uint16_t>(l[2 * i] | l[2 * i + 1] << 8);
    SecureWipe(l, sizeof l);
    key.ready = true;
    return true;
}

bool Rc2CbcDecrypt(const Rc2Key& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                   size_t length) {
    if (!key.ready) return false;
    auto decryptBlock = [&key](const uint8_t* c, uint8_t* p) {
        const uint16_t* k = key.words;
        uint16_t r[4];
        for (int i = 0; i < 4; ++i) r[i] = static_cast<uint16_t>(c[2 * i] | c[2 * i + 1] << 8);
        int j = 63;
        for (int i = 0; i < 5; ++i) ReverseMixRound(r, k, j);
        ReverseMashRound(r, k);
        for (int i = 0; i < 6; ++i) ReverseMixRound(r, k, j);
        ReverseMashRound(r, k);
        for (int i = 0; i < 5; ++i) ReverseMixRound(r, k, j);
        for (int i = 0; i < 4; ++i) {
            p[2 * i] = static_cast<uint8_t>(r[i]);
            p[2 * i + 1] = static_cast<uint8_t>(r[i] >> 8);
        }
        SecureWipe(r, sizeof r);
    };
    return CbcDecrypt<kRc2BlockSize>(decryptBlock, iv, in, out, length);
}

}  // namespace keymend

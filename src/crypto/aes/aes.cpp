// AES key expansion (FIPS 197 section 5.2) and the choice between the AES instructions and the
// bitsliced code.
#include "crypto/aes/aes.h"

#include <cstring>

#include "crypto/aes/aes_internal.h"
#include "crypto/context/secure_blob.h"

namespace keymend {

bool AesSetKey(AesKey& key, const uint8_t* keyBytes, size_t keyLength) {
    key.rounds = 0;
    if (keyBytes == nullptr || (keyLength != 16 && keyLength != 24 && keyLength != 32)) {
        return false;
    }
    const size_t nk = keyLength / 4, rounds = nk + 6, total = 4 * (rounds + 1);
    uint32_t w[60];
    for (size_t i = 0; i < nk; ++i) {
        w[i] = static_cast<uint32_t>(keyBytes[4 * i]) << 24 |
               static_cast<uint32_t>(keyBytes[4 * i + 1]) << 16 |
               static_cast<uint32_t>(keyBytes[4 * i + 2]) << 8 | keyBytes[4 * i + 3];
    }
    uint32_t rcon = 1;
    for (size_t i = nk; i < total; ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = aes_detail::SubWord(temp << 8 | temp >> 24) ^ rcon << 24;
            rcon = (rcon << 1) ^ ((rcon >> 7) * 0x11B);
        } else if (nk > 6 && i % nk == 4) {
            temp = aes_detail::SubWord(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
    for (size_t i = 0; i < total; ++i) {
        for (size_t j = 0; j < 4; ++j) {
            key.roundKeys[4 * i + j] = static_cast<uint8_t>(w[i] >> (24 - 8 * j));
        }
    }
    SecureWipe(w, sizeof w);
    key.rounds = static_cast<uint32_t>(rounds);
    return true;
}

bool AesCbcDecrypt(const AesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                   size_t length) {
    if (key.rounds == 0 || length % kAesBlockSize != 0) return false;
    if (length == 0) return true;
    if (iv == nullptr || in == nullptr || out == nullptr) return false;
    if (aes_detail::AesInstructionsUsable()) {
        aes_detail::CbcDecryptAesNi(key, iv, in, out, length / kAesBlockSize);
    } else {
        aes_detail::CbcDecryptBitsliced(key, iv, in, out, length / kAesBlockSize);
    }
    return true;
}

}  // namespace keymend

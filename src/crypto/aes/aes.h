// AES (FIPS 197) with 128-, 192- and 256-bit keys: decryption in CBC mode (SP 800-38A section 6.2).
//
// No table lookup depends on the key or the data. The portable code is bitsliced: four blocks at
// a time, one 64-bit word per bit position, the S-box a Boolean circuit. Where the processor has
// the AES instructions they are used instead, chosen on every call (LimitCpuFeatures forces the
// portable code, which gives identical results). Nothing here allocates; working copies are wiped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/context/secure_blob.h"

namespace keymend {

constexpr size_t kAesBlockSize = 16;

// An expanded key. Wipes itself when it goes out of scope.
struct AesKey {
    uint32_t rounds = 0;         // 10, 12 or 14; 0 until AesSetKey succeeds
    uint8_t roundKeys[15 * 16];  // the cipher's round keys in state order, round 0 first

    AesKey() = default;
    AesKey(const AesKey&) = delete;
    AesKey& operator=(const AesKey&) = delete;
    ~AesKey() { SecureWipe(this, sizeof *this); }
};

// Expands a 16-, 24- or 32-octet key. False (and the key unusable) for any other length.
bool AesSetKey(AesKey& key, const uint8_t* keyBytes, size_t keyLength);

// CBC decryption of `length` octets, a multiple of 16, from `in` to `out` (the same buffer, or
// buffers that do not overlap) with the 16-octet initialisation vector `iv`. No padding is
// removed (see Pkcs7PlainLength). False for an unset key or a length not a multiple of 16.
bool AesCbcDecrypt(const AesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                   size_t length);

}  // namespace keymend

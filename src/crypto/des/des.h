// DES (FIPS 46-3) and triple DES in its EDE form with two or three keys (SP 800-67):
// decryption in CBC mode (SP 800-38A section 6.2).
//
// Keys are 8, 16 or 24 octets; the parity bits (the last bit of each octet) are ignored, as the
// standards allow. The S-boxes are table lookups, as the standard defines them. Nothing here
// allocates; working copies are wiped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/context/secure_blob.h"

namespace keymend {

constexpr size_t kDesBlockSize = 8;

// An expanded DES or triple-DES key. Wipes itself when it goes out of scope.
struct DesKey {
    uint32_t keys = 0;         // 1 (DES) or 3 (EDE); 0 until DesSetKey succeeds
    uint8_t rounds[3][16][8];  // per key K1, K2, K3: each round's eight 6-bit S-box key inputs

    DesKey() = default;
    DesKey(const DesKey&) = delete;
    DesKey& operator=(const DesKey&) = delete;
    ~DesKey() { SecureWipe(this, sizeof *this); }
};

// 8 octets: DES. 16 octets: two-key triple DES (K1, K2, K3 = K1). 24 octets: three-key triple DES
// (K1, K2, K3). False (and the key unusable) for any other length.
bool DesSetKey(DesKey& key, const uint8_t* keyBytes, size_t keyLength);

// CBC decryption of `length` octets, a multiple of 8, from `in` to `out` (the same buffer, or
// buffers that do not overlap) with the 8-octet `iv`; triple DES decrypts each block as
// D_K1(E_K2(D_K3(c))). No padding is removed. False for an unset key or a partial block.
bool DesCbcDecrypt(const DesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                   size_t length);

}  // namespace keymend

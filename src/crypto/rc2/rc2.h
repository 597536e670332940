// RC2 (RFC 2268): decryption in CBC mode (SP 800-38A section 6.2) with any key of 1 to 128
// octets and any effective key length of 1 to 1024 bits (40 and 128 in PKCS#12 files).
//
// The key expansion and the mashing rounds index tables by key-derived values, as the algorithm
// is defined. Nothing here allocates; working copies are wiped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/context/secure_blob.h"

namespace keymend {

constexpr size_t kRc2BlockSize = 8;

// The 64 expanded key words K[0..63]. Wipes itself when it goes out of scope.
struct Rc2Key {
    bool ready = false;
    uint16_t words[64];

    Rc2Key() = default;
    Rc2Key(const Rc2Key&) = delete;
    Rc2Key& operator=(const Rc2Key&) = delete;
    ~Rc2Key() { SecureWipe(this, sizeof *this); }
};

// Key expansion (RFC 2268 section 2). False (and the key unusable) for a key outside 1..128
// octets or effective bits outside 1..1024.
bool Rc2SetKey(Rc2Key& key, const uint8_t* keyBytes, size_t keyLength, uint32_t effectiveBits);

// CBC decryption of `length` octets, a multiple of 8, from `in` to `out` (the same buffer, or
// buffers that do not overlap) with the 8-octet `iv`. No padding is removed. False for an unset
// key or a partial block.
bool Rc2CbcDecrypt(const Rc2Key& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                   size_t length);

}  // namespace keymend

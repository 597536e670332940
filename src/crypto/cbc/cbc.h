// Cipher block chaining (SP 800-38A section 6.2) over any block function, and the check of PKCS#7
// padding (RFC 5652 section 6.3) that CBC-encrypted content carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/context/secure_blob.h"

namespace keymend {

// The length of the content inside `length` decrypted octets that end in n octets of value n,
// 1 <= n <= blockSize (1..255). False, leaving plainLength alone, when length is zero or not a
// multiple of blockSize or the padding is malformed. The whole last block is examined without
// branching on its contents, so the time taken does not tell where a bad padding differs.
bool Pkcs7PlainLength(const uint8_t* data, size_t length, size_t blockSize, size_t& plainLength);

// CBC decryption of `length` octets (a multiple of kBlock) from `in` to `out`, which are the same
// buffer or do not overlap; decryptBlock(const uint8_t* in, uint8_t* out) decrypts one block.
// False when length is not a multiple of kBlock or a pointer is null.
template <size_t kBlock, typename DecryptBlock>
bool CbcDecrypt(const DecryptBlock& decryptBlock, const uint8_t* iv, const uint8_t* in,
                uint8_t* out, size_t length) {
    if (length % kBlock != 0) return false;
    if (length == 0) return true;
    if (iv == nullptr || in == nullptr || out == nullptr) return false;
    uint8_t chain[kBlock], cipher[kBlock], plain[kBlock];
    std::memcpy(chain, iv, kBlock);
    for (size_t offset = 0; offset < length; offset += kBlock) {
        std::memcpy(cipher, in + offset, kBlock);  // kept: `out` may be `in`
        decryptBlock(cipher, plain);
        for (size_t i = 0; i < kBlock; ++i) out[offset + i] = plain[i] ^ chain[i];
        std::memcpy(chain, cipher, kBlock);
    }
    SecureWipe(plain, kBlock);
    SecureWipe(chain, kBlock);
    SecureWipe(cipher, kBlock);
    return true;
}

}  // namespace keymend

// Internal interface of the AES module: the bitsliced code (aes_bitsliced.cpp) and the variant
// with the AES instructions (aes_x86.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/aes/aes.h"

namespace keymend::aes_detail {

// The S-box applied to each octet of a word, in constant time.
uint32_t SubWord(uint32_t word);

// CBC decryption of `blocks` whole blocks; `in` and `out` are equal or do not overlap.
void CbcDecryptBitsliced(const AesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                         size_t blocks);

// With the AES instructions; callable only where AesInstructionsUsable() holds.
bool AesInstructionsUsable();
void CbcDecryptAesNi(const AesKey& key, const uint8_t* iv, const uint8_t* in, uint8_t* out,
                     size_t blocks);

}  // namespace keymend::aes_detail

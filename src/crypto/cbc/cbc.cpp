#include "crypto/cbc/cbc.h"

namespace keymend {

namespace {

// 1 when x != 0, else 0, without a branch.
inline uint32_t NonZero(uint32_t x) {
    return (x | (0u - x)) >> 31;
}
// 1 when a < b, else 0, for a and b below 2^31.
inline uint32_t Less(uint32_t a, uint32_t b) {
    return (a - b) >> 31;
}

}  // namespace

bool Pkcs7PlainLength(const uint8_t* data, size_t length, size_t blockSize, size_t& plainLength) {
    if (data == nullptr || blockSize == 0 || blockSize > 255 || length == 0 ||
        length % blockSize != 0) {
        return false;
    }
    const uint8_t* last = data + length - blockSize;
    const uint32_t pad = last[blockSize - 1];
    const uint32_t size = static_cast<uint32_t>(blockSize);
    uint32_t bad = (NonZero(pad) ^ 1) | Less(size, pad);
    for (uint32_t i = 0; i < size; ++i) {
        // The octet i + 1 from the end belongs to the padding when i < pad.
        bad |= Less(i, pad) & NonZero(last[size - 1 - i] ^ pad);
    }
    if (bad != 0) return false;
    plainLength = length - pad;
    return true;
}

}  // namespace keymend

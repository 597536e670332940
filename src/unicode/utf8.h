// UTF-8 (Unicode table 3-7) one scalar value at a time: the encoder and the strict decoder that
// every text conversion of the tool uses. Header only, below every other module.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// The UTF-8 octets of one Unicode scalar value (below U+110000, not a surrogate) into out[0..3];
// their number, 0 for a value that is not a scalar value.
inline uint32_t Utf8Encode(uint32_t code, uint8_t out[4]) {
    if (code >= 0x110000 || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code < 0x80) {
        out[0] = static_cast<uint8_t>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (code >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (code >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (code >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    return 4;
}

// Decodes one scalar value from strict UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF) at p[0..n); its length in octets, 0 when the sequence is ill-formed or cut off.
inline size_t Utf8Decode(const uint8_t* p, size_t n, uint32_t* code) {
    if (n == 0) return 0;
    const uint8_t b0 = p[0];
    if (b0 < 0x80) {
        *code = b0;
        return 1;
    }
    size_t length;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t value;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        value = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        value = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        value = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;  // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const uint8_t b = p[i];
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
        value = (value << 6) | (b & 0x3Fu);
    }
    *code = value;
    return length;
}

}  // namespace keymend

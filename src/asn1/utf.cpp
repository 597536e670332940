#include "asn1/utf.h"

namespace keymend {

bool Utf16LeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length) {
    if (units == nullptr && unitCount != 0) return false;
    if (unitCount > UINT32_MAX / 3) return false;  // the result would not fit 32 bits
    uint32_t written = 0;
    auto emit = [&](uint32_t octet) {
        if (out != nullptr) out[written] = static_cast<uint8_t>(octet);
        ++written;
    };
    for (uint32_t i = 0; i < unitCount; ++i) {
        uint32_t code = units[2 * i] | (uint32_t{units[2 * i + 1]} << 8);
        if (code >= 0xDC00 && code <= 0xDFFF) return false;  // low surrogate without a high one
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i + 1 >= unitCount) return false;
            const uint32_t low = units[2 * i + 2] | (uint32_t{units[2 * i + 3]} << 8);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (code < 0x80) {
            emit(code);
        } else if (code < 0x800) {
            emit(0xC0 | (code >> 6));
            emit(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            emit(0xE0 | (code >> 12));
            emit(0x80 | ((code >> 6) & 0x3F));
            emit(0x80 | (code & 0x3F));
        } else {
            emit(0xF0 | (code >> 18));
            emit(0x80 | ((code >> 12) & 0x3F));
            emit(0x80 | ((code >> 6) & 0x3F));
            emit(0x80 | (code & 0x3F));
        }
    }
    *utf8Length = written;
    return true;
}

}  // namespace keymend

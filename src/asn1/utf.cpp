#include "asn1/utf.h"

#include "crypto/context/secure_blob.h"
#include "unicode/utf8.h"

namespace keymend {

namespace {

// Converts `count` code units, unit(i) giving the i-th, into out (or only measures, out null).
template <typename Unit>
bool ConvertUtf16(Unit unit, size_t count, uint8_t* out, size_t room, size_t* length) {
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t code = unit(i);
        if (code >= 0xDC00 && code <= 0xDFFF) return false;  // low surrogate without a high one
        if (code >= 0xD800 && code <= 0xDBFF) {
            const uint32_t low = i + 1 < count ? unit(i + 1) : 0;
            if (low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        SecureArray<4> octets;
        const uint32_t n = Utf8Encode(code, octets.data());
        if (out != nullptr) {
            if (written + n > room) return false;
            for (uint32_t k = 0; k < n; ++k) out[written + k] = octets[k];
        }
        written += n;
    }
    *length = written;
    return true;
}

bool Utf16BytesToUtf8(const uint8_t* units, uint32_t unitCount, bool bigEndian, uint8_t* out,
                      uint32_t* utf8Length) {
    if (units == nullptr && unitCount != 0) return false;
    if (unitCount > UINT32_MAX / 3) return false;  // the result would not fit 32 bits
    const int high = bigEndian ? 0 : 1;
    auto unit = [units, high](size_t i) {
        return uint32_t{units[2 * i + 1 - high]} | (uint32_t{units[2 * i + high]} << 8);
    };
    size_t length = 0;
    if (!ConvertUtf16(unit, unitCount, out, SIZE_MAX, &length)) return false;
    *utf8Length = static_cast<uint32_t>(length);
    return true;
}

}  // namespace

bool Utf16LeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length) {
    return Utf16BytesToUtf8(units, unitCount, false, out, utf8Length);
}

bool Utf16BeToUtf8(const uint8_t* units, uint32_t unitCount, uint8_t* out, uint32_t* utf8Length) {
    return Utf16BytesToUtf8(units, unitCount, true, out, utf8Length);
}

bool Utf16TextToUtf8(const char16_t* text, char* out, size_t room, size_t* bytes) {
    if (text == nullptr || out == nullptr || room == 0) return false;
    size_t count = 0;
    while (text[count] != 0) ++count;
    size_t length = 0;
    auto unit = [text](size_t i) { return uint32_t{text[i]}; };
    if (!ConvertUtf16(unit, count, reinterpret_cast<uint8_t*>(out), room - 1, &length)) {
        SecureWipe(out, room);
        return false;
    }
    out[length] = '\0';
    if (bytes != nullptr) *bytes = length;
    return true;
}

}  // namespace keymend

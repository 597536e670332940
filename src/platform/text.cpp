#include "platform/text.h"

#include <iconv.h>
#include <string.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/console.h"

namespace keymend {

namespace {

// Room for the UTF-8 form of any text that can fit 256 UTF-16 units, with margin: a result
// that overflows it cannot fit the callers' fields anyway.
constexpr size_t kUtf8Scratch = 1024;

bool IsUtf8Codeset(const char* codeset) {
    return codeset == nullptr || *codeset == '\0';
}

// Decodes one scalar value from well-formed UTF-8 (Unicode table 3-7); false on any
// ill-formed or truncated sequence.
bool DecodeUtf8(const uint8_t* p, size_t n, size_t* used, uint32_t* cp) {
    uint8_t b0 = p[0];
    if (b0 < 0x80) {
        *cp = b0;
        *used = 1;
        return true;
    }
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t value;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        value = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        value = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        value = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;  // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return false;
    }
    if (n < len) return false;
    for (size_t i = 1; i < len; ++i) {
        uint8_t b = p[i];
        if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return false;
        value = (value << 6) | (b & 0x3Fu);
    }
    *cp = value;
    *used = len;
    return true;
}

}  // namespace

bool Utf8ToUtf16(const char* text, size_t n, char16_t* out, size_t room, size_t* units) {
    if (room == 0) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        size_t used = 0;
        if (p[i] == 0 || !DecodeUtf8(p + i, n - i, &used, &cp)) return false;
        i += used;
        if (cp >= 0x10000) {
            if (o + 2 >= room) return false;
            cp -= 0x10000;
            out[o++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[o++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            if (o + 1 >= room) return false;
            out[o++] = static_cast<char16_t>(cp);
        }
    }
    out[o] = 0;
    if (units != nullptr) *units = o;
    return true;
}

bool CodesetToUtf16(const char* codeset, const char* text, char16_t* out, size_t room) {
    size_t n = std::strlen(text);
    if (IsUtf8Codeset(codeset)) return Utf8ToUtf16(text, n, out, room, nullptr);

    // Through UTF-8 with iconv, which fails on any sequence invalid in the codeset.
    iconv_t cd = iconv_open("UTF-8", codeset);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    char utf8[kUtf8Scratch];
    char* in = const_cast<char*>(text);
    size_t inLeft = n;
    char* o = utf8;
    size_t outLeft = sizeof utf8;
    bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1) &&
              iconv(cd, nullptr, nullptr, &o, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (ok) ok = Utf8ToUtf16(utf8, sizeof utf8 - outLeft, out, room, nullptr);
    explicit_bzero(utf8, sizeof utf8);
    return ok;
}

bool ArgumentToUtf16(const char* arg, char16_t* out, size_t room) {
    return CodesetToUtf16(LocaleCodeset(), arg, out, room);
}

size_t ArgumentLength(const char* arg) { return std::strlen(arg); }

bool StoredNameBytes(const char* name, std::string& stored) {
    if (name == nullptr) return false;
    stored.assign(name);
    return true;
}

}  // namespace keymend

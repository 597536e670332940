#include "platform/text.h"

#include <iconv.h>
#include <string.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/console.h"
#include "unicode/utf8.h"

namespace keymend {

namespace {

// Room for the UTF-8 form of any text that can fit 256 UTF-16 units, with margin: a result
// that overflows it cannot fit the callers' fields anyway.
constexpr size_t kUtf8Scratch = 1024;

bool IsUtf8Codeset(const char* codeset) {
    return codeset == nullptr || *codeset == '\0';
}

}  // namespace

bool Utf8ToUtf16(const char* text, size_t n, char16_t* out, size_t room, size_t* units) {
    if (room == 0) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    size_t o = 0;
    for (size_t i = 0; i < n;) {
        uint32_t cp = 0;
        size_t used = 0;
        if (p[i] == 0 || (used = Utf8Decode(p + i, n - i, &cp)) == 0) return false;
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

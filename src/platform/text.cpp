#include "platform/text.h"

#include <iconv.h>
#include <langinfo.h>
#include <string.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

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

bool LocaleIsAscii() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset == nullptr || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
           std::strcmp(codeset, "ASCII") == 0;
}

// Length of the UTF-8 character starting at s[0..n), or 1 for a byte that starts none.
size_t Utf8CharLength(const unsigned char* s, size_t n) {
    size_t len = 1;
    if (s[0] >= 0xF0 && s[0] <= 0xF4)
        len = 4;
    else if (s[0] >= 0xE0)
        len = s[0] <= 0xEF ? 3 : 1;
    else if (s[0] >= 0xC2)
        len = 2;
    if (len > n) return 1;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 1;
    }
    return len;
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

size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes) {
    if (s == nullptr) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    const bool multibyte = MB_CUR_MAX > 1;
    if (!multibyte && !LocaleIsAscii()) return length < maxBytes ? length : maxBytes;
    std::mbstate_t state{};
    size_t done = 0;
    while (done < length) {
        size_t step;
        if (multibyte) {
            step = std::mbrlen(s + done, length - done, &state);
            if (step == static_cast<size_t>(-1) || step == static_cast<size_t>(-2) || step == 0) {
                state = std::mbstate_t{};
                step = 1;
            }
        } else {
            step = Utf8CharLength(bytes + done, length - done);  // "C" locale: assume UTF-8
        }
        if (done + step > maxBytes) break;
        done += step;
    }
    return done;
}

}  // namespace keymend

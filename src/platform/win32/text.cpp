// Text conversions on Windows: MultiByteToWideChar and WideCharToMultiByte, every one strict
// (MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS), bounded by the caller's room.
#include "platform/text.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/win32/argument_bytes.h"

namespace keymend {

namespace {

// "CP1251", "cp866", "1251", "windows-1251", "UTF-8" (or null/empty) to a code page number;
// 0 when the name is not understood.
UINT CodePageOf(const char* codeset) {
    if (codeset == nullptr || *codeset == '\0') return CP_UTF8;
    if (_stricmp(codeset, "UTF-8") == 0 || _stricmp(codeset, "UTF8") == 0) return CP_UTF8;
    const char* digits = codeset;
    if (_strnicmp(digits, "CP", 2) == 0)
        digits += 2;
    else if (_strnicmp(digits, "windows-", 8) == 0)
        digits += 8;
    if (*digits < '0' || *digits > '9') return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits, &end, 10);
    if (*end != '\0' || value == 0 || value > 65535) return 0;
    return static_cast<UINT>(value);
}

// n bytes (no NUL among them) to NUL-terminated UTF-16 in out[room].
bool ToUtf16(UINT codePage, const char* text, size_t n, char16_t* out, size_t room,
             size_t* units) {
    if (room == 0 || out == nullptr || text == nullptr) return false;
    if (std::memchr(text, '\0', n) != nullptr) return false;
    if (n == 0) {
        out[0] = 0;
        if (units != nullptr) *units = 0;
        return true;
    }
    if (n > 0x7FFFFFFF || room - 1 > 0x7FFFFFFF) return false;
    // Room for the terminator is kept back; a result that does not fit fails the call.
    const int got = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, static_cast<int>(n),
                                        reinterpret_cast<wchar_t*>(out),
                                        static_cast<int>(room - 1));
    if (got <= 0) {
        out[0] = 0;
        return false;
    }
    out[got] = 0;
    if (units != nullptr) *units = static_cast<size_t>(got);
    return true;
}

}  // namespace

bool Utf8ToUtf16(const char* text, size_t n, char16_t* out, size_t room, size_t* units) {
    return ToUtf16(CP_UTF8, text, n, out, room, units);
}

bool CodesetToUtf16(const char* codeset, const char* text, char16_t* out, size_t room) {
    const UINT codePage = CodePageOf(codeset);
    if (codePage == 0 || text == nullptr) return false;
    return ToUtf16(codePage, text, std::strlen(text), out, room, nullptr);
}

// Arguments are argument bytes (argument_bytes.h): the ANSI code page's bytes, with characters
// outside it escaped. Every character converts back to the UTF-16 of the command line.
bool ArgumentToUtf16(const char* arg, char16_t* out, size_t room) {
    if (arg == nullptr) return false;
    return ArgumentBytesToUtf16(arg, std::strlen(arg), reinterpret_cast<wchar_t*>(out), room,
                                nullptr);
}

// An escape counts as the bytes of its UTF-8 form, without the escape byte.
size_t ArgumentLength(const char* arg) {
    size_t length = 0;
    for (const char* p = arg; *p != '\0'; ++p) {
        if (*p == kArgumentEscape && p[1] != '\0') ++p;  // the escape byte; U+0001 counts once
        ++length;
    }
    return length;
}

bool StoredNameBytes(const char* name, std::string& stored) {
    stored.clear();
    if (name == nullptr) return false;
    const size_t n = std::strlen(name);
    std::wstring wide;
    // Bytes without an escape (every name typed in the code page, and names read from name.key)
    // are stored as they are.
    if (!HasArgumentEscape(name, n) || !ArgumentBytesToWide(name, n, wide)) {
        stored.assign(name, n);
        return true;
    }
    if (AnsiBytesOf(wide.data(), wide.size(), stored)) return true;  // only U+0001 was escaped
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                                          static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                          nullptr);
    if (bytes <= 0) return false;  // a lone surrogate has no UTF-8 form
    stored.resize(static_cast<size_t>(bytes));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                               static_cast<int>(wide.size()), stored.data(), bytes, nullptr,
                               nullptr) == bytes;
}

size_t CharacterPrefixLength(const char* s, size_t length, size_t maxBytes) {
    if (s == nullptr) return 0;
    // A name with characters outside the code page: counted in the form name.key stores it.
    size_t prefix = 0;
    if (HasArgumentEscape(s, length) && StoredPrefixLength(s, length, maxBytes, &prefix))
        return prefix;
    const auto* bytes = reinterpret_cast<const unsigned char*>(s);
    const UINT codePage = GetACP();
    size_t done = 0;
    while (done < length) {
        size_t step = 1;
        if (codePage == CP_UTF8) {
            const unsigned char b = bytes[done];
            const size_t len = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3
                               : b >= 0xC2 && b <= 0xDF                       ? 2
                                                                              : 1;
            step = len;
            for (size_t i = 1; i < len; ++i) {
                if (done + i >= length || (bytes[done + i] & 0xC0) != 0x80) {
                    step = 1;
                    break;
                }
            }
        } else if (IsDBCSLeadByteEx(codePage, bytes[done]) && done + 1 < length) {
            step = 2;  // lead and trail byte of a double-byte code page
        }
        if (done + step > maxBytes) break;
        done += step;
    }
    return done;
}

}  // namespace keymend

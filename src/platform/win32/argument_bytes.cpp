// Argument bytes (argument_bytes.h) and the process entry that makes them from the UTF-16
// command line.
#include "platform/win32/argument_bytes.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/process_entry.h"

namespace keymend {

namespace {

bool IsHigh(wchar_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(wchar_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Units of the character at text[i]: 2 for a surrogate pair, else 1.
size_t CharacterUnits(const wchar_t* text, size_t n, size_t i) {
    return IsHigh(text[i]) && i + 1 < n && IsLow(text[i + 1]) ? 2 : 1;
}

size_t Utf8Length(const wchar_t* units, size_t count) {
    if (count == 2) return 4;
    return units[0] < 0x80 ? 1 : units[0] < 0x800 ? 2 : 3;
}

void Wipe(std::string& s) {
    s.resize(s.capacity());
    SecureZeroMemory(s.data(), s.size());
    s.clear();
}

// The escape of one character (1 or 2 units): 0x01, then its UTF-8 form (a lone surrogate is
// encoded like any other code point below 0x10000).
void AppendEscape(const wchar_t* units, size_t count, std::string& out) {
    uint32_t cp = units[0];
    if (count == 2) cp = 0x10000 + ((cp - 0xD800) << 10) + (units[1] - 0xDC00u);
    out += kArgumentEscape;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the escape at s[i] (s[i] is 0x01) into units[0..*count); *used receives its length in
// bytes. The UTF-8 must be well formed (no overlong forms, nothing above U+10FFFF; surrogate code
// points are taken), and the character must be U+0001 or one the code page cannot spell, so that
// each text has one form only.
bool DecodeEscape(const char* s, size_t n, size_t i, wchar_t units[2], size_t* count,
                  size_t* used) {
    const auto* p = reinterpret_cast<const unsigned char*>(s) + i + 1;
    const size_t left = n - i - 1;
    if (left == 0) return false;
    // Length of the sequence, the lead byte's value bits, the least value that needs that length.
    size_t len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (p[0] < 0x80) {
        len = 1;
        cp = p[0];
    } else if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        len = 2;
        cp = p[0] & 0x1Fu;
        min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        len = 3;
        cp = p[0] & 0x0Fu;
        min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        len = 4;
        cp = p[0] & 0x07u;
        min = 0x10000;
    } else {
        return false;
    }
    if (left < len) return false;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (p[k] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || cp == 0) return false;
    if (cp >= 0x10000) {
        units[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
        units[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        *count = 2;
    } else {
        units[0] = static_cast<wchar_t>(cp);
        *count = 1;
    }
    *used = 1 + len;
    std::string spelled;
    const bool spells = cp != 1 && AnsiBytesOf(units, *count, spelled);
    Wipe(spelled);
    return !spells;
}

// One character of argument bytes at s[i]: its bytes, its units and whether it was escaped.
struct Character {
    size_t bytes = 0;
    wchar_t units[2] = {};
    size_t count = 0;
    bool escaped = false;
};

bool NextCharacter(const char* s, size_t n, size_t i, UINT codePage, Character& c) {
    c.escaped = s[i] == kArgumentEscape;
    if (c.escaped) return DecodeEscape(s, n, i, c.units, &c.count, &c.bytes);
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = 1;
    if (codePage == CP_UTF8) {
        len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    } else if (IsDBCSLeadByteEx(codePage, b)) {
        len = 2;
    }
    if (len > n - i) return false;
    const int got = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, s + i,
                                        static_cast<int>(len), c.units, 2);
    if (got <= 0) return false;
    c.bytes = len;
    c.count = static_cast<size_t>(got);
    return true;
}

}  // namespace

bool AnsiBytesOf(const wchar_t* text, size_t n, std::string& out) {
    Wipe(out);
    if (n == 0) return true;
    if (n > 0x1FFFFFFF) return false;
    const UINT codePage = GetACP();
    // Best-fit mappings (U+00E9 to "e") and the default character do not spell a character.
    // UTF-8 and UTF-7 take neither the flag nor the check; their round trip below decides.
    const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
    const DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultCheck = utf ? nullptr : &usedDefault;
    const int units = static_cast<int>(n);
    const int bytes =
        WideCharToMultiByte(codePage, flags, text, units, nullptr, 0, nullptr, usedDefaultCheck);
    if (bytes <= 0 || usedDefault) return false;
    out.resize(static_cast<size_t>(bytes));
    bool ok = WideCharToMultiByte(codePage, flags, text, units, out.data(), bytes, nullptr,
                                  usedDefaultCheck) == bytes &&
              !usedDefault;
    // And back to exactly the same units.
    std::vector<wchar_t> back(n);
    ok = ok &&
         MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, out.data(), bytes, back.data(),
                             units) == units &&
         std::wmemcmp(back.data(), text, n) == 0;
    SecureZeroMemory(back.data(), n * sizeof(wchar_t));
    if (!ok) Wipe(out);
    return ok;
}

void AppendArgumentBytes(const wchar_t* text, size_t n, std::string& out) {
    // Room for the longest form (an escape takes at most four bytes per unit), so that nothing
    // is left behind in a freed buffer.
    out.reserve(out.size() + 4 * n);
    std::string spelled;
    if (std::wmemchr(text, 1, n) == nullptr && AnsiBytesOf(text, n, spelled)) {
        out += spelled;
    } else {
        for (size_t i = 0; i < n;) {
            const size_t count = CharacterUnits(text, n, i);
            if (text[i] != 1 && AnsiBytesOf(text + i, count, spelled))
                out += spelled;
            else
                AppendEscape(text + i, count, out);
            i += count;
        }
    }
    Wipe(spelled);
}

bool ArgumentBytesToUtf16(const char* s, size_t n, wchar_t* out, size_t room, size_t* units) {
    if (out == nullptr || room == 0 || (s == nullptr && n != 0)) return false;
    if (n > 0x7FFFFFFF || room - 1 > 0x7FFFFFFF) return false;
    size_t o = 0;
    bool ok = true;
    for (size_t i = 0; ok && i < n;) {
        if (s[i] == kArgumentEscape) {
            wchar_t escaped[2];
            size_t count = 0;
            size_t used = 0;
            ok = DecodeEscape(s, n, i, escaped, &count, &used) && room - 1 - o >= count;
            if (ok) {
                std::wmemcpy(out + o, escaped, count);
                o += count;
                i += used;
            }
            continue;
        }
        // A run of code-page bytes, converted whole; a NUL inside fails.
        size_t end = i;
        while (end < n && s[end] != kArgumentEscape && s[end] != '\0') ++end;
        const size_t avail = room - 1 - o;
        // A room of 0 would ask for the size instead of converting.
        ok = (end == n || s[end] == kArgumentEscape) && avail > 0;
        const int got =
            ok ? MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s + i, static_cast<int>(end - i),
                                     out + o, static_cast<int>(avail))
               : 0;
        ok = got > 0;
        if (ok) o += static_cast<size_t>(got);
        i = end;
    }
    if (!ok) {
        SecureZeroMemory(out, room * sizeof(wchar_t));
        return false;
    }
    out[o] = L'\0';
    if (units != nullptr) *units = o;
    return true;
}

bool ArgumentBytesToWide(const char* s, size_t n, std::wstring& wide) {
    // Every byte gives at most one unit.
    wide.assign(n + 1, L'\0');
    size_t units = 0;
    if (!ArgumentBytesToUtf16(s, n, wide.data(), wide.size(), &units)) {
        wide.clear();
        return false;
    }
    wide.resize(units);
    return true;
}

bool HasArgumentEscape(const char* s, size_t n) {
    return s != nullptr && std::memchr(s, kArgumentEscape, n) != nullptr;
}

bool StoredPrefixLength(const char* s, size_t n, size_t maxBytes, size_t* length) {
    const UINT codePage = GetACP();
    // The stored form is the code page's when it spells every character, else UTF-8.
    bool inCodePage = true;
    Character c;
    for (size_t i = 0; i < n; i += c.bytes) {
        if (!NextCharacter(s, n, i, codePage, c)) return false;
        if (c.escaped && !(c.count == 1 && c.units[0] == 1)) inCodePage = false;
    }
    size_t done = 0;
    size_t weight = 0;
    while (done < n) {
        NextCharacter(s, n, done, codePage, c);
        const size_t bytes = !inCodePage ? Utf8Length(c.units, c.count) : c.escaped ? 1 : c.bytes;
        if (weight + bytes > maxBytes) break;
        weight += bytes;
        done += c.bytes;
    }
    *length = done;
    return true;
}

int RunWithWideArguments(int argc, wchar_t** argv, MainFunction run) {
    if (argc < 0 || argv == nullptr) return run(0, nullptr);
    std::vector<std::string> storage(static_cast<size_t>(argc));
    std::vector<char*> narrow(static_cast<size_t>(argc) + 1, nullptr);
    for (int i = 0; i < argc; ++i) {
        const auto k = static_cast<size_t>(i);
        AppendArgumentBytes(argv[i], std::wcslen(argv[i]), storage[k]);
        narrow[k] = storage[k].data();
    }
    const int code = run(argc, narrow.data());
    for (std::string& argument : storage) Wipe(argument);  // passwords among them
    return code;
}

}  // namespace keymend

// Console services on Windows: the runtime locale follows the console output code page, texts
// are written with wprintf, the language is the user-interface language of the session.
#include "platform/console.h"
#include "platform/seams.h"

#include <windows.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <string>

namespace keymend {

namespace {

// Codeset the command-line arguments arrive in ("CP1251"); empty when it is UTF-8.
char g_codeset[16] = {};

constexpr size_t kWideChunk = 512;

}  // namespace

void ConsoleInit() {
    // wprintf converts wide text to the locale's code page, so the locale must match what the
    // console shows; any other code page gets the user's default locale.
    const UINT outputCodePage = GetConsoleOutputCP();
    const char* locale = outputCodePage == 866 ? ".866" : outputCodePage == 1251 ? ".1251" : "";
    std::setlocale(LC_ALL, locale);
    const UINT ansi = GetACP();
    if (ansi == CP_UTF8)
        g_codeset[0] = '\0';
    else
        std::snprintf(g_codeset, sizeof g_codeset, "CP%u", ansi);
}

// Environment variables mean nothing to the Windows resource loader; these stay for callers that
// decide from them explicitly.
bool LanguageIsRussian(const char* lcAll, const char* lcMessages, const char* lang) {
    const char* name = nullptr;
    for (const char* candidate : {lcAll, lcMessages, lang}) {
        if (candidate != nullptr && *candidate != '\0') {
            name = candidate;
            break;
        }
    }
    return name != nullptr && name[0] == 'r' && name[1] == 'u';
}

bool UserInterfaceIsRussian() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_RUSSIAN;
}

const char* LocaleCodeset() {
    const char* codeset = nullptr;
    if (TestLocaleCodeset(&codeset)) return codeset;
    return g_codeset[0] != '\0' ? g_codeset : nullptr;
}

bool ConsoleWrite(const char* utf8, size_t n) {
    // UTF-8 to UTF-16 in chunks that end on a character boundary, each printed with wprintf.
    wchar_t wide[kWideChunk + 1];
    bool ok = true;
    while (n > 0) {
        size_t take = n < kWideChunk ? n : kWideChunk;
        // Do not split a multibyte sequence: back up to its lead byte.
        if (take < n) {
            while (take > 0 && (static_cast<unsigned char>(utf8[take]) & 0xC0) == 0x80) --take;
            if (take == 0) take = n < kWideChunk ? n : kWideChunk;
        }
        const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(take), wide,
                                              static_cast<int>(kWideChunk));
        if (units <= 0) return false;
        wide[units] = L'\0';
        if (std::wprintf(L"%ls", wide) < 0) ok = false;
        utf8 += take;
        n -= take;
    }
    return ok;
}

bool ConsoleFlush() { return std::fflush(stdout) == 0; }

bool ConsoleWriteError(const char* utf8, size_t n) {
    std::fflush(stdout);
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), nullptr, 0);
    if (units <= 0) return n == 0;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), wide.data(), units);
    return std::fwprintf(stderr, L"%ls", wide.c_str()) >= 0;
}

}  // namespace keymend

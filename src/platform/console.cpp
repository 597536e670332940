#include "platform/console.h"
#include "platform/seams.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace keymend {

namespace {

// Codeset that output and arguments are converted from/to; empty when they are UTF-8.
char g_codeset[64] = {};

bool IsUtf8Name(const char* codeset) {
    // "UTF-8", "utf8", "UTF8" ...: compare ignoring case and hyphens.
    char norm[8] = {};
    size_t n = 0;
    for (const char* p = codeset; *p != '\0'; ++p) {
        if (*p == '-' || *p == '_') continue;
        if (n + 1 >= sizeof norm) return false;
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        norm[n++] = c;
    }
    return std::strcmp(norm, "utf8") == 0;
}

const char* FirstNonEmpty(const char* a, const char* b, const char* c) {
    if (a != nullptr && *a != '\0') return a;
    if (b != nullptr && *b != '\0') return b;
    if (c != nullptr && *c != '\0') return c;
    return nullptr;
}

}  // namespace

void ConsoleInit() {
    g_codeset[0] = '\0';
    // All categories as the environment names them; if one of them names a missing locale the
    // call fails as a whole, and the character type alone may still be settable.
    const char* ctype = std::setlocale(LC_ALL, "");
    if (ctype == nullptr) ctype = std::setlocale(LC_CTYPE, "");
    if (ctype == nullptr) return;  // named but not installed: C stays in effect, UTF-8 out
    ctype = std::setlocale(LC_CTYPE, nullptr);
    if (ctype == nullptr || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0)
        return;
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || *codeset == '\0' || IsUtf8Name(codeset)) return;
    if (std::strlen(codeset) >= sizeof g_codeset) return;
    std::strcpy(g_codeset, codeset);
}

bool LanguageIsRussian(const char* lcAll, const char* lcMessages, const char* lang) {
    const char* name = FirstNonEmpty(lcAll, lcMessages, lang);
    return name != nullptr && name[0] == 'r' && name[1] == 'u';
}

bool UserInterfaceIsRussian() {
    return LanguageIsRussian(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                             std::getenv("LANG"));
}

const char* LocaleCodeset() {
    const char* codeset = nullptr;
    if (TestLocaleCodeset(&codeset)) return codeset;
    return g_codeset[0] != '\0' ? g_codeset : nullptr;
}

namespace {

bool WriteText(std::FILE* stream, const char* utf8, size_t n) {
    if (n == 0) return true;
    const char* codeset = LocaleCodeset();
    if (codeset == nullptr) return std::fwrite(utf8, 1, n, stream) == n;

    char target[sizeof g_codeset + 16];
    std::snprintf(target, sizeof target, "%s//TRANSLIT", codeset);
    iconv_t cd = iconv_open(target, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::fwrite(utf8, 1, n, stream) == n;
    bool ok = true;
    char* in = const_cast<char*>(utf8);
    size_t inLeft = n;
    char buffer[1024];
    while (ok && inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
        size_t produced = sizeof buffer - outLeft;
        if (produced > 0 && std::fwrite(buffer, 1, produced, stream) != produced) ok = false;
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // Not representable even approximately: show a question mark and move on.
            ok = ok && std::fputc('?', stream) != EOF;
            ++in;
            --inLeft;
            while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
                ++in;
                --inLeft;
            }
        }
    }
    // Return a stateful codeset to its initial shift state.
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(cd, nullptr, nullptr, &out, &outLeft) != static_cast<size_t>(-1) && out != buffer) {
        size_t produced = static_cast<size_t>(out - buffer);
        ok = ok && std::fwrite(buffer, 1, produced, stream) == produced;
    }
    iconv_close(cd);
    return ok;
}

}  // namespace

bool ConsoleWrite(const char* utf8, size_t n) { return WriteText(stdout, utf8, n); }

bool ConsoleWriteError(const char* utf8, size_t n) {
    std::fflush(stdout);  // the lines keep their order where both streams meet
    return WriteText(stderr, utf8, n);
}

bool ConsoleFlush() {
    return std::fflush(stdout) == 0;
}

}  // namespace keymend

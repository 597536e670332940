// The string table on Windows: the texts are resources of keymend.exe in English (1033) and
// Russian (1049), generated at build time from src/resources/string_table.cpp and loaded with
// LoadStringW. They are handed out as UTF-8, like the compiled-in table of other platforms.
#include <windows.h>

#include <string>

#include "resources/string_table.h"

namespace keymend {

namespace {

constexpr int kMaxId = 1024;

// UTF-8 of each loaded text, kept for the life of the process so that views stay valid.
std::string g_loaded[2][kMaxId];
bool g_tried[2][kMaxId] = {};

}  // namespace

std::string_view MessageText(int id, Language language) {
    if (id < 0 || id >= kMaxId) return {};
    const int lang = language == Language::kRussian ? 1 : 0;
    if (!g_tried[lang][id]) {
        g_tried[lang][id] = true;
        // The loader picks the resource language from the thread's user-interface language.
        const LANGID wanted = language == Language::kRussian
                                  ? MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)
                                  : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
        const LANGID previous = GetThreadUILanguage();
        SetThreadUILanguage(wanted);
        const wchar_t* text = nullptr;
        // A buffer size of 0 returns a read-only pointer to the resource and its length in
        // characters, so no text is ever cut at a buffer size.
        const int units = LoadStringW(GetModuleHandleW(nullptr), static_cast<UINT>(id),
                                      reinterpret_cast<LPWSTR>(&text), 0);
        SetThreadUILanguage(previous);
        if (units > 0 && text != nullptr) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr,
                                                  nullptr);
            if (bytes > 0) {
                std::string utf8(static_cast<size_t>(bytes), '\0');
                WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), bytes, nullptr,
                                    nullptr);
                g_loaded[lang][id] = std::move(utf8);
            }
        }
    }
    return g_loaded[lang][id];
}

}  // namespace keymend

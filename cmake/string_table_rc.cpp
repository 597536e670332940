// Build-time generator: writes the compiled-in string table as a Windows resource script, so the
// English (1033) and Russian (1049) texts of keymend.exe come from the same table as on Linux.
// Every character outside printable ASCII is written as a \xHHHH escape; a hex digit that
// follows one is escaped too, so no escape can swallow the next character.
#include <cstdio>
#include <string>
#include <string_view>

#include "resources/string_table.h"

namespace {

// Strict UTF-8 to code points; false on a malformed sequence.
bool AppendUtf16(std::string_view text, std::u16string& out) {
    for (size_t i = 0; i < text.size();) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        size_t len = b0 < 0x80 ? 1 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
        if (len == 0 || i + len > text.size()) return false;
        char32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return true;
}

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

std::string RcLiteral(const std::u16string& text) {
    std::string out = "L\"";
    bool afterEscape = false;
    for (char16_t c : text) {
        const bool plain = c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\' &&
                           !(afterEscape && IsHexDigit(c));
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%04X", static_cast<unsigned>(c));
            out += escape;
        }
        afterEscape = !plain;
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output.rc\n", argv[0]);
        return 2;
    }
    std::string rc = "// Generated from src/resources/string_table.cpp; do not edit.\n";
    struct Section {
        keymend::Language language;
        const char* languageStatement;
    };
    // LANGUAGE primary, sublanguage: 0x09,0x01 is 1033 (English, US); 0x19,0x01 is 1049 (Russian).
    const Section sections[] = {{keymend::Language::kEnglish, "LANGUAGE 0x09, 0x01"},
                                {keymend::Language::kRussian, "LANGUAGE 0x19, 0x01"}};
    for (const Section& section : sections) {
        rc += std::string("\n") + section.languageStatement + "\nSTRINGTABLE\nBEGIN\n";
        int count = 0;
        for (int id = 0; id < 1024; ++id) {
            std::string_view text = keymend::MessageText(id, section.language);
            if (text.empty()) continue;
            std::u16string wide;
            if (!AppendUtf16(text, wide)) {
                std::fprintf(stderr, "string %d is not valid UTF-8\n", id);
                return 1;
            }
            rc += "    " + std::to_string(id) + ", " + RcLiteral(wide) + "\n";
            ++count;
        }
        rc += "END\n";
        if (count == 0) {
            std::fprintf(stderr, "the string table is empty\n");
            return 1;
        }
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(rc.data(), 1, rc.size(), f) != rc.size() ||
        std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

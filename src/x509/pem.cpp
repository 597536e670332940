// PEM (RFC 7468) and its base64 (RFC 4648).
#include <string>
#include <string_view>

#include "x509/x509_internal.h"

namespace keymend {

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A line starts at the beginning of the text, after a UTF-8 byte order mark (which some
// editors put in front of PEM files), or after a line feed.
bool StartsLine(std::string_view text, size_t at) {
    return at == 0 || text[at - 1] == '\n' || (at == 3 && text.substr(0, 3) == "\xEF\xBB\xBF");
}

// Where the first "-----BEGIN <label>-----" that starts a line begins, or npos.
size_t FindBegin(std::string_view text, const std::string& begin) {
    for (size_t at = text.find(begin); at != std::string_view::npos;
         at = text.find(begin, at + 1)) {
        if (StartsLine(text, at)) return at;
    }
    return std::string_view::npos;
}

}  // namespace

bool Base64Decode(const char* text, size_t length, std::vector<uint8_t>& out) {
    out.clear();
    out.reserve(length / 4 * 3);
    uint32_t group = 0;
    int count = 0;    // characters in the current group
    int padding = 0;  // '=' seen so far; nothing but padding and blanks may follow the first
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (IsBlank(c)) continue;
        if (c == '=') {
            // Padding completes a group of two or three characters.
            if (count < 2) return false;
            ++padding;
            if (count + padding > 4) return false;
            continue;
        }
        int v = Base64Value(c);
        if (v < 0 || padding != 0) return false;
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            count = 0;
        }
    }
    if (padding == 0) return count == 0;
    if (count + padding != 4) return false;
    if (count == 2) {
        if ((group & 0x0F) != 0) return false;  // bits beyond the last byte must be zero
        out.push_back(static_cast<uint8_t>(group >> 4));
    } else {
        if ((group & 0x03) != 0) return false;
        out.push_back(static_cast<uint8_t>(group >> 10));
        out.push_back(static_cast<uint8_t>(group >> 2));
    }
    return true;
}

bool PemBlock(const uint8_t* data, size_t size, const char* label, const char* otherLabel,
              std::vector<uint8_t>& der, bool* second) {
    der.clear();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string labels[2] = {label, otherLabel};
    size_t begin = std::string_view::npos;
    int found = -1;
    for (int i = 0; i < 2; ++i) {
        const size_t at = FindBegin(text, "-----BEGIN " + labels[i] + "-----");
        if (at < begin) {
            begin = at;
            found = i;
        }
    }
    if (found < 0) return false;
    const size_t body = begin + labels[found].size() + 16;  // "-----BEGIN " and "-----"
    const size_t end = text.find("-----END " + labels[found] + "-----", body);
    if (end == std::string_view::npos || !StartsLine(text, end)) return false;
    *second = found == 1;
    return Base64Decode(text.data() + body, end - body, der);
}

}  // namespace keymend

// Distinguished names as RFC 4514 strings, and certificate times.
#include <cstdio>
#include <string>
#include <vector>

#include "asn1/der_strict.h"
#include "asn1/utf.h"
#include "x509/x509_internal.h"

namespace keymend {

namespace {

// Attribute types written by their short names (RFC 4514 section 3, RFC 4519); others dotted.
struct AttributeName {
    const char* oid;
    const char* name;
};
constexpr AttributeName kAttributeNames[] = {
    {"2.5.4.3", "CN"},      {"2.5.4.6", "C"},           {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},      {"2.5.4.10", "O"},          {"2.5.4.11", "OU"},
    {"2.5.4.9", "STREET"},  {"0.9.2342.19200300.100.1.25", "DC"},
    {"0.9.2342.19200300.100.1.1", "UID"},              {"2.5.4.4", "SN"},
    {"2.5.4.5", "serialNumber"},                        {"2.5.4.12", "title"},
    {"2.5.4.42", "givenName"},                          {"2.5.4.43", "initials"},
};

// String types of attribute values.
constexpr uint8_t kNumericString = 0x12;
constexpr uint8_t kPrintableString = 0x13;
constexpr uint8_t kTeletexString = 0x14;
constexpr uint8_t kVisibleString = 0x1A;
constexpr uint8_t kUniversalString = 0x1C;
constexpr uint8_t kBmpString = 0x1E;

void AppendHex(std::string& out, uint8_t octet) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[octet >> 4];
    out += kDigits[octet & 0x0F];
}

// The value's characters as UTF-8, or false for a value that is not a string of its type.
bool ValueText(uint8_t identifier, DerBlob value, std::string& text) {
    text.clear();
    const uint8_t* p = value.data;
    const size_t n = value.length;
    uint8_t octets[4];
    uint32_t code = 0;
    switch (identifier) {
        case kDerUtf8String:
            for (size_t at = 0, used; at < n; at += used) {
                if ((used = Utf8Decode(p + at, n - at, &code)) == 0) return false;
            }
            text.assign(reinterpret_cast<const char*>(p), n);
            return true;
        case kNumericString:
        case kPrintableString:
        case kDerIa5String:
        case kVisibleString:
            for (size_t i = 0; i < n; ++i) {
                if (p[i] >= 0x80) return false;
            }
            text.assign(reinterpret_cast<const char*>(p), n);
            return true;
        case kTeletexString:  // read as ISO 8859-1
            for (size_t i = 0; i < n; ++i) text.append(reinterpret_cast<const char*>(octets),
                                                        Utf8Encode(p[i], octets));
            return true;
        case kBmpString: {
            uint32_t length = 0;
            if (n % 2 != 0 || !Utf16BeToUtf8(p, static_cast<uint32_t>(n / 2), nullptr, &length)) {
                return false;
            }
            text.resize(length);
            return Utf16BeToUtf8(p, static_cast<uint32_t>(n / 2),
                                 reinterpret_cast<uint8_t*>(text.data()), &length);
        }
        case kUniversalString:
            if (n % 4 != 0) return false;
            for (size_t i = 0; i < n; i += 4) {
                code = uint32_t{p[i]} << 24 | uint32_t{p[i + 1]} << 16 | uint32_t{p[i + 2]} << 8 |
                       p[i + 3];
                const uint32_t length = Utf8Encode(code, octets);
                if (length == 0) return false;
                text.append(reinterpret_cast<const char*>(octets), length);
            }
            return true;
        default:
            return false;
    }
}

// RFC 4514 section 2.4: the special characters after a backslash, a leading space or '#' and a
// trailing space escaped; NUL and the control characters as a backslash and two hex digits.
void AppendEscaped(std::string& out, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '\\';
            AppendHex(out, c);
            continue;
        }
        const bool special = c == '"' || c == '+' || c == ',' || c == ';' || c == '<' ||
                             c == '>' || c == '\\';
        const bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == text.size() && c == ' ');
        if (special || edge) out += '\\';
        out += static_cast<char>(c);
    }
}

// AttributeTypeAndValue ::= SEQUENCE { type OBJECT IDENTIFIER, value ANY }
bool AppendAttribute(DerBlob attribute, std::string& out) {
    DerCursor cursor = DerCursorOver(attribute);
    OidText type;
    DerBlob value{}, whole{};
    if (!DerReadOid(cursor, type)) return false;
    const int valueIdentifier = DerPeekOctet(cursor);
    if (valueIdentifier < 0 ||
        !DerReadExact(cursor, static_cast<uint8_t>(valueIdentifier), &value, &whole) ||
        !DerAtEnd(cursor)) {
        return false;
    }
    const char* name = type.c_str();
    for (const AttributeName& known : kAttributeNames) {
        if (type.Equals(known.oid)) name = known.name;
    }
    out += name;
    out += '=';
    std::string text;
    if (ValueText(static_cast<uint8_t>(valueIdentifier), value, text)) {
        AppendEscaped(out, text);
    } else {
        out += '#';
        for (uint32_t i = 0; i < whole.length; ++i) AppendHex(out, whole.data[i]);
    }
    return true;
}

// One RelativeDistinguishedName (SET content): its attributes joined by '+', last first like
// the RDNs (their order inside the SET carries no meaning).
bool RdnToString(DerBlob rdn, std::string& out) {
    std::vector<std::string> attributes;
    DerCursor cursor = DerCursorOver(rdn);
    while (!DerAtEnd(cursor)) {
        DerBlob attribute{};
        attributes.emplace_back();
        if (!DerReadExact(cursor, kDerSequence, &attribute) ||
            !AppendAttribute(attribute, attributes.back())) {
            return false;
        }
    }
    for (size_t i = attributes.size(); i > 0; --i) {
        if (i != attributes.size()) out += '+';
        out += attributes[i - 1];
    }
    return !attributes.empty();
}

bool Digits(const uint8_t* p, int count, int& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

}  // namespace

bool NameToString(DerBlob name, std::string& out) {
    out.clear();
    // RDNs are written last first; a name of more than kMaxRdns is not decoded.
    constexpr size_t kMaxRdns = 64;
    std::string rdns[kMaxRdns];
    size_t count = 0;
    DerCursor cursor = DerCursorOver(name);
    while (!DerAtEnd(cursor)) {
        DerBlob rdn{};
        if (count == kMaxRdns || !DerReadExact(cursor, kDerSet, &rdn) || !RdnToString(rdn, rdns[count])) {
            return false;
        }
        ++count;
    }
    for (size_t i = count; i > 0; --i) {
        if (i != count) out += ',';
        out += rdns[i - 1];
    }
    return true;
}

bool CertificateTime(uint8_t identifier, DerBlob content, CalendarTime& out) {
    // RFC 5280 section 4.1.2.5: UTCTime YYMMDDHHMMSSZ (YY below 50 is 20YY), GeneralizedTime
    // YYYYMMDDHHMMSSZ; seconds always present, no fractions, always UTC.
    const int yearDigits = identifier == kDerUtcTimeId ? 2 : 4;
    if ((identifier != kDerUtcTimeId && identifier != kDerGeneralizedTimeId) ||
        content.length != static_cast<uint32_t>(yearDigits + 11) ||
        content.data[content.length - 1] != 'Z') {
        return false;
    }
    const uint8_t* p = content.data;
    int year, month, day, hour, minute, second;
    if (!Digits(p, yearDigits, year) || !Digits(p + yearDigits, 2, month) ||
        !Digits(p + yearDigits + 2, 2, day) || !Digits(p + yearDigits + 4, 2, hour) ||
        !Digits(p + yearDigits + 6, 2, minute) || !Digits(p + yearDigits + 8, 2, second)) {
        return false;
    }
    if (yearDigits == 2) year += year < 50 ? 2000 : 1900;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    out = CalendarTime{static_cast<uint16_t>(year),   static_cast<uint16_t>(month),
                       static_cast<uint16_t>(day),    static_cast<uint16_t>(hour),
                       static_cast<uint16_t>(minute), static_cast<uint16_t>(second), 0};
    return true;
}

}  // namespace keymend

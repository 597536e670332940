// Object identifier conversions between dotted text and DER content octets.
#include "asn1/oid.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "asn1/oid_internal.h"

namespace keymend {

namespace {

constexpr uint32_t kArcLimit = 0x80000000u;  // arcs are kept below 2^31

// Writes one subidentifier in base 128, most significant group first; counts its octets.
void PutSubidentifier(uint32_t value, uint8_t* out, uint32_t* used) {
    uint32_t groups = 1;
    for (uint32_t v = value >> 7; v != 0; v >>= 7) ++groups;
    if (out != nullptr) {
        for (uint32_t i = 0; i < groups; ++i) {
            const uint8_t group = static_cast<uint8_t>((value >> (7 * (groups - 1 - i))) & 0x7F);
            out[*used + i] = static_cast<uint8_t>(group | (i + 1 < groups ? 0x80 : 0x00));
        }
    }
    *used += groups;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a run of decimal digits (possibly empty) below 2^31.
bool ReadArc(const char*& p, uint32_t* arc) {
    uint64_t value = 0;
    for (; IsDigit(*p); ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value >= kArcLimit) return false;
    }
    *arc = static_cast<uint32_t>(value);
    return true;
}

// Splits content octets into arcs. False on any malformed or out-of-range content.
bool DecodeArcs(const uint8_t* data, uint32_t length, std::vector<uint32_t>* arcs) {
    if (data == nullptr || length == 0 || length > kOidMaxContentOctets) return false;
    uint32_t subidentifiers[kOidMaxSubidentifiers];
    uint32_t count = 0;
    for (uint32_t i = 0; i < length;) {
        if (count == kOidMaxSubidentifiers) return false;
        if (data[i] == 0x80) return false;  // a leading zero group is not minimal
        uint32_t value = 0;
        for (;;) {
            if (i >= length) return false;  // cut off by the end of the content
            if (value > (UINT32_MAX >> 7)) return false;
            const uint8_t octet = data[i++];
            value = (value << 7) | (octet & 0x7Fu);
            if ((octet & 0x80) == 0) break;
        }
        subidentifiers[count++] = value;
    }
    const uint32_t first = subidentifiers[0];
    const uint32_t top = first < 40 ? 0 : first < 80 ? 1 : 2;
    arcs->clear();
    arcs->reserve(count + 1);
    arcs->push_back(top);
    arcs->push_back(first - 40 * top);
    for (uint32_t i = 1; i < count; ++i) arcs->push_back(subidentifiers[i]);
    for (uint32_t arc : *arcs) {
        if (arc >= kArcLimit) return false;
    }
    return true;
}

}  // namespace

bool OidEncodeText(const char* text, uint8_t* out, uint32_t* length) {
    if (text == nullptr) return false;
    const char* p = text;
    if (*p < '0' || *p > '2') return false;
    const uint32_t first = static_cast<uint32_t>(*p++ - '0');
    if (*p != '.' && *p != ' ') return false;
    ++p;
    uint32_t used = 0;
    uint32_t arcCount = 1;
    while (*p != 0) {
        uint32_t arc = 0;
        if (!ReadArc(p, &arc)) return false;
        if (*p == '.' || *p == ' ') {
            ++p;
        } else if (*p != 0) {
            return false;
        }
        if (arcCount == 1) {
            if (first < 2 && arc >= 40) return false;
            arc += 40 * first;
        }
        if (used > UINT32_MAX - 5) return false;
        PutSubidentifier(arc, out, &used);
        ++arcCount;
    }
    if (arcCount < 2) return false;
    *length = used;
    return true;
}

bool OidEquals(const OidObject& oid, const char* text) {
    return !oid.Empty() && text != nullptr && oid.text == text;
}

bool OidTextToContent(const char* text, DerBlob* content) {
    *content = DerBlob{};
    uint32_t length = 0;
    if (!OidEncodeText(text, nullptr, &length)) return false;
    uint8_t* buffer = static_cast<uint8_t*>(std::calloc(length, 1));
    if (buffer == nullptr) return false;
    uint32_t written = 0;
    if (!OidEncodeText(text, buffer, &written) || written != length) {
        std::free(buffer);
        return false;
    }
    *content = DerBlob{length, buffer};
    return true;
}

void OidContentFree(DerBlob* content) {
    std::free(const_cast<uint8_t*>(content->data));
    *content = DerBlob{};
}

bool OidFromContent(OidObject* oid, const uint8_t* data, uint64_t startOffset, uint64_t length) {
    *oid = OidObject{};
    if (data == nullptr || length == 0 || length > kOidMaxContentOctets) return false;
    const uint8_t* content = data + startOffset;
    const uint32_t size = static_cast<uint32_t>(length);
    OidObject decoded;
    if (!DecodeArcs(content, size, &decoded.arcs)) return false;
    decoded.encoded.assign(content, content + size);
    for (size_t i = 0; i < decoded.arcs.size(); ++i) {
        if (i) decoded.text += '.';
        decoded.text += std::to_string(decoded.arcs[i]);
    }
    *oid = std::move(decoded);
    return true;
}

bool OidFromText(OidObject* oid, const char* text) {
    *oid = OidObject{};
    if (text == nullptr) return false;
    uint32_t arcs[kOidMaxTextArcs];
    uint32_t count = 0;
    for (const char* p = text;;) {
        if (!IsDigit(*p) || count == kOidMaxTextArcs) return false;
        if (!ReadArc(p, &arcs[count++])) return false;
        if (*p == 0) break;
        if (*p++ != '.') return false;
    }
    if (count < 3 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40)) return false;
    uint8_t content[kOidMaxContentOctets];
    uint32_t used = 0;
    PutSubidentifier(40 * arcs[0] + arcs[1], content, &used);
    for (uint32_t i = 2; i < count; ++i) {
        PutSubidentifier(arcs[i], content, &used);
        if (used > kOidMaxTextContentOctets) return false;
    }
    return OidFromContent(oid, content, 0, used);
}

bool OidContentToText(char* buffer, uint32_t bufferSize, const uint8_t* data, uint32_t length) {
    if (buffer == nullptr || bufferSize == 0) return false;
    std::memset(buffer, 0, bufferSize);
    OidObject oid;
    if (!OidFromContent(&oid, data, 0, length)) return false;
    if (oid.text.size() + 1 > bufferSize) return false;
    std::memcpy(buffer, oid.text.c_str(), oid.text.size() + 1);
    return true;
}

bool OidText::Set(const char* value) {
    Clear();
    if (value == nullptr) return true;
    const size_t n = std::strlen(value);
    if (n >= kCapacity) return false;
    std::memcpy(text, value, n + 1);
    return true;
}

bool OidText::Equals(const char* other) const {
    return other != nullptr && !empty() && std::strcmp(text, other) == 0;
}

}  // namespace keymend

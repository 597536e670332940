// Object identifiers: dotted text ("1.2.643.2.2.9") and DER content octets (2A 85 03 02 02 09).
// Object identifiers are compared as dotted text, exactly: use OidObject::text or OidEquals.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asn1/der.h"

namespace keymend {

// Limits of a decoded object identifier.
constexpr uint32_t kOidMaxContentOctets = 255;
constexpr uint32_t kOidMaxSubidentifiers = 64;
constexpr uint32_t kOidMaxTextArcs = 43;           // OidFromText
constexpr uint32_t kOidMaxTextContentOctets = 62;  // OidFromText
constexpr uint32_t kOidTextBufferSize = 128;       // what callers of OidContentToText pass

// A decoded object identifier as dotted decimal text ("1.2.643.2.2.19"), NUL-terminated; empty
// text means "absent". Texts that do not fit (over 127 characters) are refused on decoding.
struct OidText {
    static constexpr size_t kCapacity = 128;
    char text[kCapacity] = {};

    bool empty() const { return text[0] == '\0'; }
    const char* c_str() const { return text; }
    // Copies a NUL-terminated text (null clears). False, and cleared, when it does not fit.
    bool Set(const char* value);
    void Clear() { text[0] = '\0'; }
    bool Equals(const char* other) const;  // exact text comparison; null equals nothing
};

// A decoded object identifier; owns copies of everything (it is not secret). Empty when
// default-constructed or after a failed fill.
struct OidObject {
    std::vector<uint32_t> arcs;    // each below 2^31
    std::vector<uint8_t> encoded;  // the content octets (no identifier, no length)
    std::string text;              // dotted decimal

    bool Empty() const { return encoded.empty(); }
};

// Exact comparison with dotted text; an empty object equals no text.
bool OidEquals(const OidObject& oid, const char* text);

// Dotted text to content octets, in a newly allocated buffer that the caller releases with
// OidContentFree. The first arc is the single digit 0, 1 or 2 followed by "." or a blank;
// further arcs are decimal runs ended by ".", a blank or the end (an empty arc counts as 0, a
// trailing separator is accepted); the second arc must be below 40 under a first arc of 0 or 1;
// every arc must be below 2^31. On failure `content` is empty (null data).
bool OidTextToContent(const char* text, DerBlob* content);
void OidContentFree(DerBlob* content);

// Fills `oid` from `length` content octets at data + startOffset. Fails (leaving `oid` empty)
// on empty content, more than 255 octets, a subidentifier cut off by the end, a subidentifier
// with a leading 0x80 octet, more than 64 subidentifiers, or an arc of 2^31 and above.
bool OidFromContent(OidObject* oid, const uint8_t* data, uint64_t startOffset, uint64_t length);

// Fills `oid` from strict dotted text: 3 to 43 decimal arcs separated by single full stops, the
// first 0..2, the second below 40 under 0 or 1, at most 62 content octets. Fails otherwise.
bool OidFromText(OidObject* oid, const char* text);

// Writes the dotted text of `length` content octets into `buffer` (cleared first,
// NUL-terminated). Fails when the content does not decode or the text does not fit.
bool OidContentToText(char* buffer, uint32_t bufferSize, const uint8_t* data, uint32_t length);

}  // namespace keymend

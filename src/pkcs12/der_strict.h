// Strict DER steps shared by the PKCS#12 reader: one element with an exact identifier, element
// counts, OIDs as dotted text and small unsigned integers. Lengths are definite: the length octet
// 0x80 (the indefinite form, which DER forbids) is refused wherever these steps read a header.
#pragma once

#include <cstdint>

#include "asn1/der.h"
#include "asn1/oid.h"

namespace keymend::pkcs12 {

// Reads the next header, refusing the indefinite length octet.
inline bool ReadDefinite(DerCursor& cursor, DerHeader* header) {
    return cursor.remaining >= 2 && cursor.position[1] != 0x80 && DerReadHeader(cursor, header);
}

// Reads the next element; its identifier octet must equal `identifier` exactly (class, form and
// tag number). Fails on an exhausted cursor.
inline bool ReadExact(DerCursor& cursor, uint8_t identifier, DerBlob* content) {
    DerHeader header;
    if (!ReadDefinite(cursor, &header) || header.start[0] != identifier) return false;
    *content = header.content;
    if (content->data == nullptr) content->data = header.start + header.totalSize;  // empty
    return true;
}

// The number of whole elements in `content`, each with a definite length.
inline bool CountChildren(DerBlob content, uint32_t* count) {
    DerCursor cursor = DerCursorOver(content);
    uint32_t found = 0;
    for (DerHeader header; cursor.remaining > 0; ++found) {
        if (!ReadDefinite(cursor, &header)) return false;
    }
    *count = found;
    return true;
}

// As ReadExact for a constructed element whose content must be exactly `minCount` to
// `maxCount` whole elements.
inline bool ReadCounted(DerCursor& cursor, uint8_t identifier, DerBlob* content, uint32_t minCount,
                        uint32_t maxCount) {
    uint32_t count = 0;
    return ReadExact(cursor, identifier, content) && CountChildren(*content, &count) &&
           count >= minCount && count <= maxCount;
}

// Reads an OBJECT IDENTIFIER into its dotted text (128-octet buffer).
inline bool ReadOidText(DerCursor& cursor, char (&text)[kOidTextBufferSize]) {
    DerBlob content;
    return ReadExact(cursor, kDerObjectIdentifier, &content) &&
           OidContentToText(text, kOidTextBufferSize, content.data, content.length);
}

inline bool ReadOidEquals(DerCursor& cursor, const char* expected) {
    char text[kOidTextBufferSize];
    if (!ReadOidText(cursor, text)) return false;
    for (uint32_t i = 0;; ++i) {
        if (text[i] != expected[i]) return false;
        if (text[i] == '\0') return true;
    }
}

// An INTEGER read as an unsigned big-endian number of 1 to 8 content octets.
inline bool ReadUnsigned64(DerCursor& cursor, uint64_t* value) {
    DerBlob content;
    if (!ReadExact(cursor, kDerInteger, &content) || content.length == 0 || content.length > 8)
        return false;
    *value = BeBytesToU64(content.data, content.length);
    return true;
}

// Optional AlgorithmIdentifier parameters of the GOST HMACs and digests: absent, NULL, or the
// OID of the GOST R 34.11-94 hash parameter set. Anything else fails. The cursor must hold
// nothing after them.
inline bool ReadGostHashParameters(DerCursor& cursor) {
    if (cursor.remaining == 0) return true;
    uint32_t tag = 0, classBits = 0;
    if (!DerPeekIdentifier(cursor, &tag, &classBits) || classBits != 0) return false;
    if (tag == kDerNull) {
        DerBlob content;
        return ReadExact(cursor, kDerNull, &content) && content.length == 0 &&
               cursor.remaining == 0;
    }
    return tag == kDerObjectIdentifier && ReadOidEquals(cursor, "1.2.643.2.2.30.1") &&
           cursor.remaining == 0;
}

}  // namespace keymend::pkcs12

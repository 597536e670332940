#include "asn1/der_strict.h"

#include <cstring>

namespace keymend {

namespace {

thread_local const uint8_t* gFailure = nullptr;

bool Fail(const uint8_t* at) {
    DerNoteFailure(at);
    return false;
}

bool ReadDefinite(DerCursor& cursor, DerHeader* header) {
    return cursor.remaining >= 2 && cursor.position[1] != 0x80 && DerReadHeader(cursor, header);
}

}  // namespace

void DerResetFailure() {
    gFailure = nullptr;
}

void DerNoteFailure(const uint8_t* at) {
    if (gFailure == nullptr) gFailure = at;
}

const uint8_t* DerFailurePosition() {
    return gFailure;
}

bool DerReadExact(DerCursor& cursor, uint8_t identifier, DerBlob* content, DerBlob* whole) {
    const uint8_t* start = cursor.position;
    if (DerPeekOctet(cursor) != identifier) return Fail(start);
    DerHeader header;
    if (!ReadDefinite(cursor, &header)) return Fail(start);
    *content = header.content;
    if (content->data == nullptr) content->data = header.start + header.totalSize;  // empty
    if (whole != nullptr) *whole = DerBlob{header.totalSize, header.start};
    return true;
}

bool DerReadOptional(DerCursor& cursor, uint8_t identifier, DerBlob* content) {
    if (DerPeekOctet(cursor) != identifier) {
        *content = DerBlob{};
        return true;
    }
    return DerReadExact(cursor, identifier, content);
}

bool DerCountElements(DerBlob content, uint32_t* count) {
    DerCursor cursor = DerCursorOver(content);
    uint32_t found = 0;
    for (DerHeader header; cursor.remaining > 0; ++found) {
        if (!ReadDefinite(cursor, &header)) return Fail(cursor.position);
    }
    *count = found;
    return true;
}

bool DerReadCounted(DerCursor& cursor, uint8_t identifier, DerBlob* content, uint32_t minCount,
                    uint32_t maxCount, uint32_t* count) {
    uint32_t found = 0;
    const uint8_t* start = cursor.position;
    if (!DerReadExact(cursor, identifier, content) || !DerCountElements(*content, &found) ||
        found < minCount || found > maxCount) {
        return Fail(start);
    }
    if (count != nullptr) *count = found;
    return true;
}

bool DerReadOid(DerCursor& cursor, OidText& out) {
    DerBlob content;
    out.Clear();
    const uint8_t* start = cursor.position;
    return (DerReadExact(cursor, kDerObjectIdentifier, &content) && content.length != 0 &&
            OidContentToText(out.text, static_cast<uint32_t>(OidText::kCapacity), content.data,
                             content.length)) ||
           Fail(start);
}

bool DerReadOidEquals(DerCursor& cursor, const char* expected) {
    OidText text;
    const uint8_t* start = cursor.position;
    return (DerReadOid(cursor, text) && std::strcmp(text.c_str(), expected) == 0) || Fail(start);
}

bool DerReadUnsigned64(DerCursor& cursor, uint64_t* value) {
    DerBlob content;
    const uint8_t* start = cursor.position;
    if (!DerReadExact(cursor, kDerInteger, &content) || content.length == 0 ||
        content.length > 8) {
        return Fail(start);
    }
    *value = BeBytesToU64(content.data, content.length);
    return true;
}

}  // namespace keymend

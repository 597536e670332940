// Strict DER reading, the one way the container records, the PKCS#12 reader and the certificate
// reader walk their structures. On top of the general reader (der.h) it holds every read to
// three rules:
//   - lengths are definite: the length octet 0x80 (the indefinite form, which DER forbids) fails
//     the read wherever an element is read or counted;
//   - identifiers are exact: the identifier octet must equal the one expected (class, form and
//     tag number);
//   - leftovers are the caller's to refuse: a read takes one element and leaves the rest, so a
//     structure that must be used up ends with DerAtEnd.
// Contents are views into the caller's buffer; a present but empty content has non-null data.
#pragma once

#include <cstdint>

#include "asn1/der.h"
#include "asn1/oid.h"

namespace keymend {

inline bool DerAtEnd(const DerCursor& cursor) {
    return cursor.remaining == 0;
}
// The identifier octet of the next element, or -1 at the end.
inline int DerPeekOctet(const DerCursor& cursor) {
    return cursor.remaining == 0 || cursor.position == nullptr ? -1 : cursor.position[0];
}

// Reads the next element, whose identifier must be `identifier`. `whole`, when given, receives
// the element's complete encoding (identifier, length and content). Fails at the end.
bool DerReadExact(DerCursor& cursor, uint8_t identifier, DerBlob* content,
                  DerBlob* whole = nullptr);
// As DerReadExact when the next identifier is `identifier`; otherwise reads nothing, leaves
// content absent (null data) and succeeds.
bool DerReadOptional(DerCursor& cursor, uint8_t identifier, DerBlob* content);
// The number of elements that make up `content` exactly (0 for an empty or absent view).
bool DerCountElements(DerBlob content, uint32_t* count);
// As DerReadExact for a constructed element of `minCount` to `maxCount` elements; *count, when
// given, receives their number.
bool DerReadCounted(DerCursor& cursor, uint8_t identifier, DerBlob* content, uint32_t minCount,
                    uint32_t maxCount, uint32_t* count = nullptr);
// An OBJECT IDENTIFIER as dotted text (not empty, at most OidText::kCapacity - 1 characters).
bool DerReadOid(DerCursor& cursor, OidText& out);
// An OBJECT IDENTIFIER that must be `expected` exactly.
bool DerReadOidEquals(DerCursor& cursor, const char* expected);
// An INTEGER read as an unsigned big-endian number of 1 to 8 content octets.
bool DerReadUnsigned64(DerCursor& cursor, uint64_t* value);

// Where reading first went wrong, for diagnostics only (acceptance never depends on it): each
// read above that fails notes the first octet of the element (or, when counting, of the child)
// it could not take, unless a failure is already noted on this thread since the last reset.
// A caller that refuses an element the strict reads took notes its start itself.
void DerResetFailure();
void DerNoteFailure(const uint8_t* at);
const uint8_t* DerFailurePosition();  // null when nothing failed since the reset

}  // namespace keymend

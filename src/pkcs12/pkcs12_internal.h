// Inside the PKCS#12 reader: what its parts share.
#pragma once

#include "asn1/der_strict.h"

namespace keymend {

// Optional AlgorithmIdentifier parameters of the GOST HMACs and digests: absent, NULL, or the
// OID of the GOST R 34.11-94 hash parameter set. Anything else fails. The cursor must hold
// nothing after them.
inline bool ReadGostHashParameters(DerCursor& cursor) {
    if (cursor.remaining == 0) return true;
    uint32_t tag = 0, classBits = 0;
    if (!DerPeekIdentifier(cursor, &tag, &classBits) || classBits != 0) return false;
    if (tag == kDerNull) {
        DerBlob content;
        return DerReadExact(cursor, kDerNull, &content) && content.length == 0 &&
               cursor.remaining == 0;
    }
    return tag == kDerObjectIdentifier && DerReadOidEquals(cursor, "1.2.643.2.2.30.1") &&
           cursor.remaining == 0;
}

}  // namespace keymend

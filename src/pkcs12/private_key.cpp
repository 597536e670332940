// The PKCS#8 private key (RFC 5208, RFC 4491, RFC 9215), handed to the reader's key sink.
#include "asn1/der_strict.h"
#include "pkcs12/pkcs12_internal.h"

namespace keymend {

bool StorePrivateKey(DerBlob plaintext, Pkcs12ReadState& state) {
    if (state.sink == nullptr) return false;
    DerCursor cursor = DerCursorOver(plaintext);
    DerBlob info, version, algorithmId, parameters, privateKey;
    if (!DerReadCounted(cursor, kDerSequence, &info, 3, 4)) return false;
    DerCursor infoCursor = DerCursorOver(info);
    if (!DerReadExact(infoCursor, kDerInteger, &version) || version.length == 0 ||
        (version.length > 1 && version.data[0] != 0))
        return false;
    if (!DerReadCounted(infoCursor, kDerSequence, &algorithmId, 2, 2)) return false;
    DerCursor algorithmCursor = DerCursorOver(algorithmId);
    OidText algorithm, curveOid, digestOid;
    // The parameters name the curve and, optionally, the digest (RFC 9215 writes the curve only
    // for the 2012 sets that imply their digest).
    if (!DerReadOid(algorithmCursor, algorithm) ||
        !DerReadCounted(algorithmCursor, kDerSequence, &parameters, 1, 2))
        return false;
    DerCursor parametersCursor = DerCursorOver(parameters);
    if (!DerReadOid(parametersCursor, curveOid)) return false;
    if (parametersCursor.remaining > 0 && !DerReadOid(parametersCursor, digestOid)) return false;
    if (!DerReadExact(infoCursor, kDerOctetString, &privateKey)) return false;

    Pkcs12PrivateKey key{algorithm, curveOid, digestOid, privateKey};
    return state.sink->StoreKey(key, &state.failure);
}

}  // namespace keymend

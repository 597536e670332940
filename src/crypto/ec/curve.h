// Elliptic-curve parameter sets (GOST R 34.10-2001/2012 and a few others) keyed by dotted OID
// text: which sets are accepted, their key widths and orders. The curve and point objects built
// from them stay inside crypto/ec (ec_internal.h).
//
// Byte order: all values are little-endian numbers of the curve width (32 or 64 bytes).
// The tool accepts nine public-key parameter sets (kAcceptedParamSets); two of them,
// 1.2.643.7.1.2.1.1.1 and 1.2.643.7.1.2.1.2.3, also have a twisted Edwards row, used in inverted
// coordinates (form 2) for speed; results are always returned as short-Weierstrass (x, y).
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// The nine accepted public-key parameter sets, in this order.
constexpr size_t kAcceptedParamSetCount = 9;
extern const char* const kAcceptedParamSets[kAcceptedParamSetCount];

// Order q of the base point of the first table row with this OID (curve-width little-endian
// bytes, static storage), or null for a null or unknown OID. Used to reduce key masks.
const uint8_t* CurveOrderByOid(const char* oid);

// Width in bytes (32 or 64) of keys, masks and each public-key coordinate on this curve, or 0 for
// a null or unknown OID. The public key is twice this length.
size_t CurveKeyLength(const char* oid);

// -1 for null; 2 for 1.2.643.7.1.2.1.1.1 and 1.2.643.7.1.2.1.2.3; 3 and 1 for the non-public
// Edwards sets; 0 otherwise. Whole-text comparison.
int CurveEdwardsKind(const char* oid);

// Text of the accepted parameter set spelled by the arcs (static storage, usable as curve name for
// every call here and in key masks), or null when the arcs spell anything else, including the
// table's sets that the tool does not accept.
const char* ParamSetCanonicalOid(const uint32_t* arcs, size_t count);
// The same for dotted text: the table's own text of an accepted set, or null.
const char* ParamSetCanonicalOidText(const char* oid);

}  // namespace keymend

// Elliptic-curve parameter sets (GOST R 34.10-2001/2012 and a few others) keyed by dotted OID
// text, the curve and point objects built from them, affine conversion and the on-curve check.
//
// Byte order: all values are little-endian numbers of the curve width (32 or 64 bytes).
// The tool accepts nine public-key parameter sets (kAcceptedParamSets); two of them,
// 1.2.643.7.1.2.1.1.1 and 1.2.643.7.1.2.1.2.3, also have a twisted Edwards row, used in inverted
// coordinates (form 2) for speed; results are always returned as short-Weierstrass (x, y).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/ec/mp.h"

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

// Point forms.
constexpr uint32_t kFormWeierstrass = 0;   // homogeneous projective (X : Y : Z)
constexpr uint32_t kFormEdwardsProjective = 1;
constexpr uint32_t kFormEdwardsInverted = 2;  // u = Z/X, v = Z/Y
constexpr uint32_t kFormEdwardsExtended = 3;

struct EcPoint {
    uint8_t* x = nullptr;  // X, Y, Z, T of the curve width in one allocation starting at x
    uint8_t* y = nullptr;
    uint8_t* z = nullptr;
    uint8_t* t = nullptr;
    uint32_t infinity = 0;  // set: the neutral element, whatever the coordinates hold
    uint32_t form = 0;
};

struct EcCurve {
    const uint8_t* a = nullptr;  // table bytes
    const uint8_t* b = nullptr;
    const uint8_t* p = nullptr;
    const uint8_t* q = nullptr;
    uint32_t smallA = 0;         // a when the table stores it in 4 bytes
    uint32_t aNegated = 0;       // Weierstrass: stored a is -a (a = -3 stored as 3)
    uint32_t eMinusOne = 0;      // Edwards: e = -1
    uint32_t reductionKind = 0;  // 1, 2, 4 or 5
    uint32_t width = 0;          // bytes: 32 or 64
    EcPoint* basePoint = nullptr;
    GuardedBuffer* reductionTable = nullptr;
    const uint8_t* reductionData = nullptr;
    const uint8_t* twoP = nullptr;  // 2p inside the reduction table, followed by its carry digit
    GuardedBuffer* secondTable = nullptr;  // always empty here
    Digit pCopy[8] = {};
    Digit qCopy[8] = {};
    Digit s[8] = {};  // Edwards: (e - d)/4 mod p
    Digit t[8] = {};  // Edwards: (e + d)/6 mod p
    const uint8_t* d = nullptr;
    uint32_t form = 0;
    uint32_t aFullWidth = 0;
    uint32_t pSignificantBytes = 0;
    // Derived at creation.
    uint32_t digits = 0;       // width / 8
    Digit reductionC = 0;      // kind 1: p - 2^(bits-1); kind 2: 2^bits - p
    uint32_t pNormalised = 0;  // top bit of p set: quotient digits by reciprocal
    Digit pTopReciprocal = 0;  // of the top digit of p, when normalised
    uint32_t aIsMinus3 = 0;
    Digit fullA[8] = {};  // a as a residue mod p (sign applied)
    Digit dCopy[8] = {};  // Edwards d, zero-extended
    Digit foldPowers[8][8] = {};  // kind 4: 2^(64*(n+k)) mod p, k = 0..n-1
};

// mode 0: the Weierstrass row, form 0. mode 2: the Edwards row (first row of the OID), form 2.
// Null for a null or unknown OID, another mode, or when creation fails.
EcCurve* CurveCreate(const char* oid, int mode);
void CurveDestroy(EcCurve* curve);

// A point with zeroed X, Y, Z, T of width bytes; each given coordinate is copied in.
EcPoint* PointCreate(const uint8_t* x, const uint8_t* y, const uint8_t* z, uint32_t width);
void PointDestroy(EcPoint* point);
// Copies coordinates, flag and form (same width).
void PointCopy(EcPoint* to, const EcPoint* from, uint32_t width);

// Converts to affine short-Weierstrass (Z = 1, form 0) in place and checks the curve equation.
bool PointToAffine(const EcCurve* curve, EcPoint* point);
// y^2 = x^3 + a*x + b (mod p) for a point in affine form 0 (Z ignored).
bool PointIsOnCurve(const EcCurve* curve, const EcPoint* point);

}  // namespace keymend

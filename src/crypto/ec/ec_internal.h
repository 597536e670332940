// Inside crypto/ec: the curve and point objects, their creation from the parameter table,
// affine conversion, the on-curve check and scalar multiplication.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/ec/curve.h"
#include "crypto/ec/mp.h"

namespace keymend {

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

// The form a curve is created in: the Weierstrass row in form 0, or the Edwards row (first row
// of the OID) in inverted Edwards coordinates, form 2.
enum class CurveForm : int { kWeierstrass = 0, kEdwardsInverted = 2 };
// Null for a null or unknown OID, another form, or when creation fails.
EcCurve* CurveCreate(const char* oid, CurveForm form);
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

// How a scalar multiplication runs; only the signed width-7 window over 32 odd multiples exists.
enum class ScalarMethod : int { kSignedWindow = 1 };

// Replaces point by scalar * point (scalar: curve-width little-endian bytes); table must be null. A
// neutral point stays neutral; a point with Z = 0 that is not flagged neutral is replaced by the
// base point first.
bool ScalarMultiply(const EcCurve* curve, EcPoint* point, const void* table, const uint8_t* scalar,
                    ScalarMethod method);

}  // namespace keymend

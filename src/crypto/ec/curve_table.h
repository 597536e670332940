// The constant table of curve parameter rows, searched in order by OID text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// A little-endian value of `length` bytes: the curve width, or 4 for a small a or x.
struct ParamValue {
    uint32_t length;
    const uint8_t* bytes;
};

struct CurveRow {
    const char* oid;
    ParamValue p, q, a, b, x, y;  // Edwards rows: (x, y) is the Edwards point (u, v)
    uint32_t sign;  // Weierstrass: stored a is -a. Edwards: e = -1 (else e = 1)
    uint32_t reductionKind;  // 1, 2, 4 or 5
    uint32_t form;           // 0 Weierstrass; 1, 2, 3 twisted Edwards
    ParamValue d;            // Edwards rows only
};

// An OID with an Edwards row has it immediately before its Weierstrass twin; both carry the same
// p, q and the short-Weierstrass a and b.
constexpr size_t kCurveTableRows = 17;
extern const CurveRow kCurveTable[kCurveTableRows];

}  // namespace keymend

// Curve table lookups, curve and point objects.
#include "crypto/ec/curve.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "crypto/context/crypto_context.h"
#include "crypto/ec/curve_table.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/field.h"

namespace keymend {

const char* const kAcceptedParamSets[kAcceptedParamSetCount] = {
    "1.2.643.2.2.35.1",    "1.2.643.2.2.35.2",    "1.2.643.2.2.35.3",
    "1.2.643.7.1.2.1.1.1", "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.2.1.2.2",
    "1.2.643.7.1.2.1.2.3", "1.2.643.2.2.36.0",    "1.2.643.2.2.36.1",
};

namespace {

constexpr uint32_t kObjectAllocFlags = 3;
constexpr size_t kLongestAcceptedOid = 19;

const CurveRow* FindRow(const char* oid, size_t* index = nullptr) {
    if (oid == nullptr) return nullptr;
    for (size_t i = 0; i < kCurveTableRows; ++i) {
        if (std::strcmp(kCurveTable[i].oid, oid) == 0) {
            if (index != nullptr) *index = i;
            return &kCurveTable[i];
        }
    }
    return nullptr;
}

// A table value zero-extended to n digits.
void LoadValue(Digit* out, const ParamValue& v, size_t n) {
    std::memset(out, 0, n * sizeof(Digit));
    std::memcpy(out, v.bytes, v.length);
}

LibraryAllocator& Allocator() { return GlobalCryptoContext().allocator; }

// The reduction table: entries sum the single powers 2^(bits + 64*j) mod p selected by the bits
// of their index (3 powers, 8 entries for 256-bit curves; 4 powers, 16 entries for 512-bit ones),
// then 2p and its carry digit. Owned GuardedBuffer with checksum.
bool BuildReductionTable(EcCurve& c) {
    const size_t n = c.digits;
    const size_t powers = n == 4 ? 3 : 4;
    const size_t entries = size_t{1} << powers;
    const uint32_t length = static_cast<uint32_t>(entries * c.width + c.width + 8);
    c.reductionTable = GuardedBufferCreate(nullptr, length, kObjectAllocFlags, true, false);
    if (c.reductionTable == nullptr) return false;
    Digit* table = reinterpret_cast<Digit*>(c.reductionTable->data);
    bool ok = true;
    Digit power[16] = {};
    for (size_t j = 0; j < powers; ++j) {
        Digit* single = table + (size_t{1} << j) * n;
        std::memset(power, 0, sizeof(power));
        power[n + j] = 1;
        ok &= MpMod(single, power, n + j + 1, c.pCopy, n);
    }
    for (size_t i = 3; i < entries; ++i) {
        if ((i & (i - 1)) == 0) continue;  // single powers are done
        size_t low = i & (~i + 1);
        ok &= FieldAdd(c, table + i * n, table + low * n, table + (i - low) * n);
    }
    Digit* twoP = table + entries * n;
    twoP[n] = MpAdd(twoP, c.pCopy, c.pCopy, n);
    c.reductionData = c.reductionTable->data;
    c.twoP = reinterpret_cast<const uint8_t*>(twoP);
    c.reductionTable->checksum = GuardedChecksum(c.reductionTable->data, length / 4);
    return ok;
}

// Checks that p has the shape its reduction kind relies on and derives the constants.
bool SetUpReduction(EcCurve& c) {
    const size_t n = c.digits;
    const Digit* p = c.pCopy;
    c.pNormalised = (p[n - 1] >> 63) != 0 ? 1 : 0;
    if (c.pNormalised != 0) c.pTopReciprocal = Reciprocal(p[n - 1]);
    constexpr Digit kSmall = Digit{1} << 30;
    switch (c.reductionKind) {
        case 1:
            for (size_t i = 1; i + 1 < n; ++i) {
                if (p[i] != 0) return false;
            }
            if (p[n - 1] != (Digit{1} << 63) || p[0] >= kSmall) return false;
            c.reductionC = p[0];
            return true;
        case 2:
            for (size_t i = 1; i < n; ++i) {
                if (p[i] != ~Digit{0}) return false;
            }
            c.reductionC = ~p[0] + 1;
            return c.reductionC < kSmall && c.reductionC != 0;
        case 4:
            for (size_t k = 0; k < n; ++k) {
                Digit power[16] = {};
                power[n + k] = 1;
                if (!MpMod(c.foldPowers[k], power, n + k + 1, p, n)) return false;
            }
            return true;
        case 5:
            return true;
        default:
            return false;
    }
}

}  // namespace

const uint8_t* CurveOrderByOid(const char* oid) {
    const CurveRow* row = FindRow(oid);
    return row != nullptr ? row->q.bytes : nullptr;
}

size_t CurveKeyLength(const char* oid) {
    const CurveRow* row = FindRow(oid);
    return row != nullptr ? row->p.length : 0;
}

int CurveEdwardsKind(const char* oid) {
    if (oid == nullptr) return -1;
    if (std::strcmp(oid, "1.2.643.7.1.2.1.1.1") == 0 || std::strcmp(oid, "1.2.643.7.1.2.1.2.3") == 0)
        return 2;
    if (std::strcmp(oid, "1.2.643.2.2.35.51") == 0) return 3;
    if (std::strcmp(oid, "1.2.643.2.2.35.50") == 0 || std::strcmp(oid, "1.3.6.1.4.1.11591.15.1") == 0)
        return 1;
    return 0;
}

const char* ParamSetCanonicalOidText(const char* oid) {
    if (oid == nullptr) return nullptr;
    for (const char* accepted : kAcceptedParamSets) {
        if (std::strcmp(accepted, oid) == 0) return accepted;
    }
    return nullptr;
}

const char* ParamSetCanonicalOid(const uint32_t* arcs, size_t count) {
    if (arcs == nullptr || count == 0) return nullptr;
    char text[kLongestAcceptedOid + 16];
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        // Arcs are formatted as signed decimal; anything longer than the longest accepted OID
        // cannot match.
        char arc[16];
        int len = std::snprintf(arc, sizeof(arc), "%d%s", static_cast<int32_t>(arcs[i]),
                                i + 1 < count ? "." : "");
        if (len < 0 || used + static_cast<size_t>(len) > kLongestAcceptedOid) return nullptr;
        std::memcpy(text + used, arc, static_cast<size_t>(len));
        used += static_cast<size_t>(len);
    }
    text[used] = '\0';
    return ParamSetCanonicalOidText(text);
}

EcPoint* PointCreate(const uint8_t* x, const uint8_t* y, const uint8_t* z, uint32_t width) {
    LibraryAllocator& alloc = Allocator();
    auto* mem = LibAlloc(alloc, sizeof(EcPoint), kObjectAllocFlags);
    if (mem == nullptr) return nullptr;
    auto* point = new (mem) EcPoint{};
    point->x = static_cast<uint8_t*>(LibAlloc(alloc, 4 * size_t{width}, kObjectAllocFlags));
    if (point->x == nullptr) {
        LibFree(alloc, point, kObjectAllocFlags);
        return nullptr;
    }
    point->y = point->x + width;
    point->z = point->y + width;
    point->t = point->z + width;
    if (x != nullptr) std::memcpy(point->x, x, width);
    if (y != nullptr) std::memcpy(point->y, y, width);
    if (z != nullptr) std::memcpy(point->z, z, width);
    return point;
}

void PointDestroy(EcPoint* point) {
    if (point == nullptr) return;
    LibraryAllocator& alloc = Allocator();
    LibFree(alloc, point->x, kObjectAllocFlags);
    LibFree(alloc, point, kObjectAllocFlags);
}

void PointCopy(EcPoint* to, const EcPoint* from, uint32_t width) {
    std::memcpy(to->x, from->x, 4 * size_t{width});
    to->infinity = from->infinity;
    to->form = from->form;
}

void CurveDestroy(EcCurve* curve) {
    if (curve == nullptr) return;
    PointDestroy(curve->basePoint);
    GuardedBufferDestroy(curve->reductionTable);
    GuardedBufferDestroy(curve->secondTable);
    LibFree(Allocator(), curve, kObjectAllocFlags);
}

EcCurve* CurveCreate(const char* oid, CurveForm form) {
    const int mode = static_cast<int>(form);
    size_t index = 0;
    const CurveRow* row = FindRow(oid, &index);
    if (row == nullptr) return nullptr;
    if (mode == 0) {
        if (row->form != 0) {
            // The Weierstrass twin follows its Edwards row.
            if (index + 1 >= kCurveTableRows || std::strcmp(kCurveTable[index + 1].oid, oid) != 0)
                return nullptr;
            row = &kCurveTable[index + 1];
            if (row->form != 0) return nullptr;
        }
    } else if (mode == 2) {
        // Only an Edwards row can be computed in inverted Edwards coordinates, and the form-2
        // formulas here are those for e = 1.
        if (row->form == 0 || row->d.bytes == nullptr || row->sign != 0) return nullptr;
    } else {
        return nullptr;
    }
    const uint32_t width = row->p.length;
    if (width != 32 && width != 64) return nullptr;
    const size_t n = width / 8;

    void* mem = LibAlloc(Allocator(), sizeof(EcCurve), kObjectAllocFlags);
    if (mem == nullptr) return nullptr;
    EcCurve* c = new (mem) EcCurve{};
    c->a = row->a.bytes;
    c->b = row->b.bytes;
    c->p = row->p.bytes;
    c->q = row->q.bytes;
    c->width = width;
    c->digits = static_cast<uint32_t>(n);
    c->form = static_cast<uint32_t>(mode);
    c->reductionKind = row->reductionKind;
    LoadValue(c->pCopy, row->p, n);
    LoadValue(c->qCopy, row->q, n);
    if (row->form == 0) {
        c->aNegated = row->sign;
    } else {
        c->eMinusOne = row->sign;
    }
    c->aFullWidth = row->a.length > 4 ? 1 : 0;
    if (c->aFullWidth == 0) std::memcpy(&c->smallA, row->a.bytes, 4);
    LoadValue(c->fullA, row->a, n);
    if (c->aNegated != 0) MpSub(c->fullA, c->pCopy, c->fullA, n);
    c->aIsMinus3 = (c->aNegated != 0 && c->aFullWidth == 0 && c->smallA == 3) ? 1 : 0;
    for (size_t i = 2 * n; i-- > 0;) {
        if (static_cast<uint32_t>(c->pCopy[i / 2] >> (32 * (i & 1))) != 0) {
            c->pSignificantBytes = static_cast<uint32_t>(4 * (i + 1));
            break;
        }
    }

    bool ok = SetUpReduction(*c);
    if (ok) {
        // Work block of 5 x width: x, y, z = 1 and two temporaries.
        auto* work = static_cast<Digit*>(LibAlloc(Allocator(), 5 * size_t{width}, kObjectAllocFlags));
        if (work == nullptr) {
            ok = false;
        } else {
            Digit* x = work;
            Digit* y = x + n;
            Digit* z = y + n;
            Digit* t0 = z + n;
            Digit* t1 = t0 + n;
            LoadValue(x, row->x, n);
            LoadValue(y, row->y, n);
            z[0] = 1;
            if (mode == 2) {
                // Inverted coordinates: (1/u, 1/v, 1) with w = (u*v)^-1.
                ok &= MpModMul(t0, x, y, c->pCopy, n);
                ok &= MpModInverseChecked(t1, t0, c->pCopy, n);
                ok &= MpModMul(t0, t1, y, c->pCopy, n);
                ok &= MpModMul(y, t1, x, c->pCopy, n);
                std::memcpy(x, t0, width);
            }
            c->basePoint = PointCreate(reinterpret_cast<uint8_t*>(x), reinterpret_cast<uint8_t*>(y),
                                       reinterpret_cast<uint8_t*>(z), width);
            if (c->basePoint == nullptr) ok = false;
            else c->basePoint->form = c->form;
            LibFree(Allocator(), work, kObjectAllocFlags);
        }
    }
    ok = ok && BuildReductionTable(*c);
    if (ok && mode == 2) {
        // s = (e - d)/4, t = (e + d)/6 mod p.
        c->d = row->d.bytes;
        LoadValue(c->dCopy, row->d, n);
        Digit e[8] = {1};
        if (c->eMinusOne != 0) MpSub(e, c->pCopy, e, n);
        Digit small[8] = {};
        Digit inv[8] = {};
        Digit sum[8] = {};
        small[0] = 4;
        ok &= MpModInverseChecked(inv, small, c->pCopy, n);
        ok &= FieldSub(*c, sum, e, c->dCopy);
        ok &= MpModMul(c->s, sum, inv, c->pCopy, n);
        small[0] = 6;
        ok &= MpModInverseChecked(inv, small, c->pCopy, n);
        ok &= FieldAdd(*c, sum, e, c->dCopy);
        ok &= MpModMul(c->t, sum, inv, c->pCopy, n);
    }
    if (!ok) {
        CurveDestroy(c);
        return nullptr;
    }
    return c;
}

}  // namespace keymend

// Point formulas (homogeneous projective Weierstrass, inverted twisted Edwards), scalar
// multiplication by a signed width-7 window, affine conversion and the on-curve check.
#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/field.h"
#include "crypto/ec/keypair.h"
#include "crypto/ec/scratch_block.h"

namespace keymend {

namespace {

constexpr size_t kScalarScratch = 1744;
constexpr size_t kTablePoints = 32;
constexpr size_t kMaxRecodedDigits = 80;  // 512 bits / 7 + carry, rounded up
constexpr uint32_t kObjectAllocFlags = 3;

// Field operations on one curve that AND their success bits together.
template <size_t N>
struct Field {
    const EcCurve& c;
    bool ok = true;

    void Add(Digit* r, const Digit* a, const Digit* b) { ok &= FieldAddN<N>(c, r, a, b); }
    void Sub(Digit* r, const Digit* a, const Digit* b) { ok &= FieldSubN<N>(c, r, a, b); }
    void Mul(Digit* r, const Digit* a, const Digit* b) { ok &= FieldMulN<N>(c, r, a, b); }
    void Sqr(Digit* r, const Digit* a) { ok &= FieldSqrN<N>(c, r, a); }
    void MulSmall(Digit* r, const Digit* a, Digit k) { ok &= FieldMulSmallN<N>(c, r, a, k); }
    // r = a * v for the curve's Weierstrass a.
    void MulA(Digit* r, const Digit* v) {
        if (c.aFullWidth != 0) {
            Mul(r, c.fullA, v);
            return;
        }
        MulSmall(r, v, c.smallA);
        if (c.aNegated != 0) Sub(r, c.pCopy, r);
    }
};

template <size_t N>
inline void Copy(Digit* to, const Digit* from) {
    std::memcpy(to, from, N * sizeof(Digit));
}

// A point is 3N digits: X, Y, Z.
template <size_t N>
void DoubleForm0(Field<N>& f, Digit* r, bool& rInf, const Digit* a) {
    const Digit* X = a;
    const Digit* Y = a + N;
    const Digit* Z = a + 2 * N;
    Digit w[N], s[N], B[N], h[N], t[N], u[N];
    if (f.c.aIsMinus3 != 0) {
        f.Sub(t, X, Z);
        f.Add(u, X, Z);
        f.Mul(w, t, u);
        f.MulSmall(w, w, 3);
    } else {
        f.Sqr(t, X);
        f.MulSmall(t, t, 3);
        f.Sqr(u, Z);
        f.MulA(u, u);
        f.Add(w, t, u);
    }
    f.Mul(s, Y, Z);
    f.Mul(t, X, Y);
    f.Mul(B, t, s);
    f.Sqr(h, w);
    f.MulSmall(t, B, 8);
    f.Sub(h, h, t);  // h = w^2 - 8B
    f.MulSmall(t, B, 4);
    f.Sub(t, t, h);
    f.Mul(t, w, t);  // w(4B - h)
    f.Mul(u, Y, s);
    f.Sqr(u, u);
    f.MulSmall(u, u, 8);  // 8 Y^2 s^2
    f.Sub(r + N, t, u);
    f.Mul(t, h, s);
    f.Add(r, t, t);  // 2hs
    f.Sqr(t, s);
    f.Mul(t, t, s);
    f.MulSmall(r + 2 * N, t, 8);  // 8 s^3
    rInf = IsZeroN<N>(r + 2 * N);
}

// r = a + b in form 0; r may alias a or b.
template <size_t N>
void AddForm0(Field<N>& f, Digit* r, bool& rInf, const Digit* a, const Digit* b) {
    const Digit* X1 = a;
    const Digit* Y1 = a + N;
    const Digit* Z1 = a + 2 * N;
    const Digit* X2 = b;
    const Digit* Y2 = b + N;
    const Digit* Z2 = b + 2 * N;
    Digit u1[N], v1[N], u[N], v[N], t[N];
    f.Mul(u1, Y1, Z2);
    f.Mul(v1, X1, Z2);
    f.Mul(t, Y2, Z1);
    f.Sub(u, t, u1);
    f.Mul(t, X2, Z1);
    f.Sub(v, t, v1);
    if (IsZeroN<N>(v)) {
        if (IsZeroN<N>(u)) {
            DoubleForm0<N>(f, r, rInf, a);
        } else {
            rInf = true;
        }
        return;
    }
    Digit w[N], uu[N], vv[N], vvv[N], R[N], A[N];
    f.Mul(w, Z1, Z2);
    f.Sqr(uu, u);
    f.Sqr(vv, v);
    f.Mul(vvv, vv, v);
    f.Mul(R, vv, v1);
    f.Mul(A, uu, w);
    f.Sub(A, A, vvv);
    f.Add(t, R, R);
    f.Sub(A, A, t);  // A = u^2 w - v^3 - 2 v^2 v1
    f.Mul(r, v, A);
    f.Sub(t, R, A);
    f.Mul(t, u, t);
    f.Mul(u1, vvv, u1);
    f.Sub(r + N, t, u1);
    f.Mul(r + 2 * N, vvv, w);
    rInf = false;
}

// count doublings of a form-0 point in Jacobian coordinates (x = X/Z^2, y = Y/Z^3) with
// W = Z^4 carried along.
template <size_t N>
void DoubleRunForm0(Field<N>& f, Digit* pt, bool& inf, unsigned count) {
    if (count == 0 || inf) return;
    Digit* X = pt;
    Digit* Y = pt + N;
    Digit* Z = pt + 2 * N;
    Digit zz[N], W[N], XJ[N], YJ[N], ZJ[N];
    Digit XX[N], YY[N], YYYY[N], S[N], M[N], t[N];
    f.Sqr(zz, Z);
    f.Mul(XJ, X, Z);
    f.Mul(YJ, Y, zz);
    Copy<N>(ZJ, Z);
    f.Sqr(W, zz);
    for (unsigned i = 0; i < count; ++i) {
        f.Sqr(XX, XJ);
        f.Sqr(YY, YJ);
        f.Sqr(YYYY, YY);
        f.Mul(S, XJ, YY);
        f.MulSmall(S, S, 4);
        if (f.c.aIsMinus3 != 0) {
            f.Sub(M, XX, W);
            f.MulSmall(M, M, 3);
        } else {
            f.MulA(M, W);
            f.MulSmall(t, XX, 3);
            f.Add(M, M, t);
        }
        f.Mul(ZJ, YJ, ZJ);
        f.Add(ZJ, ZJ, ZJ);
        f.Sqr(XJ, M);
        f.Sub(XJ, XJ, S);
        f.Sub(XJ, XJ, S);
        f.Sub(t, S, XJ);
        f.Mul(t, M, t);
        f.MulSmall(YJ, YYYY, 8);
        f.Sub(YJ, t, YJ);
        if (i + 1 < count) {
            f.Mul(W, YYYY, W);
            f.MulSmall(W, W, 16);
        }
    }
    // Back to homogeneous: (X Z, Y, Z^3).
    f.Mul(X, XJ, ZJ);
    Copy<N>(Y, YJ);
    f.Sqr(t, ZJ);
    f.Mul(Z, t, ZJ);
    inf = IsZeroN<N>(Z);
}

// Inverted twisted Edwards (e = 1): u = Z/X, v = Z/Y.
template <size_t N>
void AddForm2(Field<N>& f, Digit* r, bool& rInf, const Digit* a, const Digit* b) {
    const Digit* X1 = a;
    const Digit* Y1 = a + N;
    const Digit* Z1 = a + 2 * N;
    const Digit* X2 = b;
    const Digit* Y2 = b + N;
    const Digit* Z2 = b + 2 * N;
    Digit A[N], B[N], F[N], G[N], E[N], H[N], I[N], t[N], u[N];
    f.Mul(A, Z1, Z2);
    f.Sqr(B, A);
    f.Mul(B, f.c.dCopy, B);
    f.Mul(F, X1, X2);
    f.Mul(G, Y1, Y2);
    f.Mul(E, F, G);
    f.Sub(H, F, G);
    f.Add(t, X1, Y1);
    f.Add(u, X2, Y2);
    f.Mul(I, t, u);
    f.Sub(I, I, F);
    f.Sub(I, I, G);
    f.Add(t, E, B);
    f.Mul(r, t, H);
    f.Sub(t, E, B);
    f.Mul(r + N, t, I);
    f.Mul(t, A, H);
    f.Mul(r + 2 * N, t, I);
    rInf = IsZeroN<N>(r + 2 * N);
}

template <size_t N>
void DoubleForm2(Field<N>& f, Digit* r, bool& rInf, const Digit* a) {
    const Digit* X1 = a;
    const Digit* Y1 = a + N;
    const Digit* Z1 = a + 2 * N;
    Digit A[N], B[N], F[N], G[N], E[N], t[N];
    f.Sqr(A, X1);
    f.Sqr(B, Y1);
    f.Add(F, A, B);
    f.Sub(G, A, B);
    f.Add(t, X1, Y1);
    f.Sqr(E, t);
    f.Sub(E, E, F);
    f.Sqr(t, Z1);
    f.Mul(t, f.c.dCopy, t);
    f.Add(t, t, t);
    f.Sub(t, F, t);  // F - 2d Z^2
    f.Mul(r + N, E, t);
    f.Mul(r + 2 * N, G, E);
    f.Mul(r, F, G);
    rInf = IsZeroN<N>(r + 2 * N);
}

// acc = acc + b, where either may be neutral.
template <size_t N>
void AddPoints(Field<N>& f, uint32_t form, Digit* acc, bool& accInf, const Digit* b) {
    if (accInf) {
        Copy<3 * N>(acc, b);
        accInf = false;
        return;
    }
    if (form == kFormWeierstrass) {
        AddForm0<N>(f, acc, accInf, acc, b);
    } else {
        AddForm2<N>(f, acc, accInf, acc, b);
    }
}

struct RecodedDigit {
    int16_t digit;    // odd, |digit| <= 63
    uint16_t shift;   // places from the previous (lower) digit; the lowest: its bit position
};

// Signed width-7 recoding of all 8*width bits of a little-endian scalar.
size_t RecodeScalar(const uint8_t* scalar, size_t bits, RecodedDigit* out) {
    auto bit = [scalar, bits](size_t i) -> unsigned {
        return i < bits ? (scalar[i / 8] >> (i % 8)) & 1u : 0u;
    };
    size_t count = 0;
    size_t pos = 0;
    size_t prev = 0;
    unsigned carry = 0;
    while (pos < bits) {
        if (((bit(pos) + carry) & 1u) == 0) {
            ++pos;  // a set bit with a carry keeps the carry
            continue;
        }
        int v = 1;
        for (size_t j = 1; j < 6 && pos + j < bits; ++j) v |= static_cast<int>(bit(pos + j) << j);
        int digit = v;
        carry = 0;
        if (pos + 6 < bits && bit(pos + 6) != 0) {
            digit = v - 64;
            carry = 1;
        }
        out[count++] = RecodedDigit{static_cast<int16_t>(digit), static_cast<uint16_t>(pos - prev)};
        prev = pos;
        pos += 7;
    }
    if (carry != 0) out[count++] = RecodedDigit{1, static_cast<uint16_t>(pos - prev)};
    return count;
}

template <size_t N>
bool ScalarMultiplyN(const EcCurve& c, EcPoint* point, const uint8_t* scalar) {
    WipedScratch scratch(kScalarScratch);
    if (!scratch.ok()) return false;
    if (point->form != c.form) return false;
    if (point->infinity != 0) return true;  // the neutral element stays neutral
    const uint32_t form = c.form;
    const EcPoint* base = IsZeroN<N>(reinterpret_cast<const Digit*>(point->z)) ? c.basePoint : point;

    LibraryAllocator& alloc = GlobalCryptoContext().allocator;
    const size_t tableBytes = kTablePoints * 3 * N * sizeof(Digit);
    auto* table = static_cast<Digit*>(LibAlloc(alloc, tableBytes, kObjectAllocFlags));
    if (table == nullptr) return false;
    ScopeExit releaseTable([&] {
        SecureWipe(table, tableBytes);
        LibFree(alloc, table, kObjectAllocFlags);
    });

    // Odd multiples B, 3B, ..., 63B.
    Field<N> f{c};
    Copy<N>(table, reinterpret_cast<const Digit*>(base->x));
    Copy<N>(table + N, reinterpret_cast<const Digit*>(base->y));
    Copy<N>(table + 2 * N, reinterpret_cast<const Digit*>(base->z));
    Digit twice[3 * N];
    bool inf = false;
    bool tableOk = true;
    if (form == kFormWeierstrass) {
        DoubleForm0<N>(f, twice, inf, table);
    } else {
        DoubleForm2<N>(f, twice, inf, table);
    }
    tableOk &= !inf;
    for (size_t i = 1; i < kTablePoints && tableOk; ++i) {
        Digit* entry = table + i * 3 * N;
        if (form == kFormWeierstrass) {
            AddForm0<N>(f, entry, inf, entry - 3 * N, twice);
        } else {
            AddForm2<N>(f, entry, inf, entry - 3 * N, twice);
        }
        tableOk &= !inf;
    }
    if (!f.ok || !tableOk) {
        GlobalCryptoContext().allocator.lastError = kStatusFailedPrecomputation;
        return false;
    }

    auto* recoded = reinterpret_cast<RecodedDigit*>(scratch.digits());
    Digit* acc = scratch.digits() + kMaxRecodedDigits * sizeof(RecodedDigit) / sizeof(Digit);
    Digit* negated = acc + 3 * N;
    size_t count = RecodeScalar(scalar, 8 * N * sizeof(Digit), recoded);
    bool accInf = true;
    for (size_t k = count; k-- > 0;) {
        int d = recoded[k].digit;
        const Digit* entry = table + static_cast<size_t>(((d > 0 ? d : -d) - 1) / 2) * 3 * N;
        if (d < 0) {
            Copy<3 * N>(negated, entry);
            // Weierstrass: negate Y. Inverted Edwards: negate X (u = Z/X).
            Digit* coord = form == kFormWeierstrass ? negated + N : negated;
            f.Sub(coord, c.pCopy, coord);
            entry = negated;
        }
        AddPoints<N>(f, form, acc, accInf, entry);
        unsigned shift = recoded[k].shift;
        if (form == kFormWeierstrass) {
            DoubleRunForm0<N>(f, acc, accInf, shift);
        } else {
            for (unsigned i = 0; i < shift && !accInf; ++i) DoubleForm2<N>(f, acc, accInf, acc);
        }
    }
    if (!f.ok) return false;
    Copy<N>(reinterpret_cast<Digit*>(point->x), acc);
    Copy<N>(reinterpret_cast<Digit*>(point->y), acc + N);
    Copy<N>(reinterpret_cast<Digit*>(point->z), acc + 2 * N);
    point->infinity = accInf ? 1 : 0;
    return true;
}

template <size_t N>
bool IsOnCurveN(const EcCurve& c, const EcPoint* point) {
    Field<N> f{c};
    const Digit* x = reinterpret_cast<const Digit*>(point->x);
    const Digit* y = reinterpret_cast<const Digit*>(point->y);
    Digit b[N] = {};
    std::memcpy(b, c.b, c.width);
    Digit lhs[N], rhs[N], t[N];
    f.Sqr(lhs, y);
    f.Sqr(rhs, x);
    f.Mul(rhs, rhs, x);
    f.MulA(t, x);
    f.Add(rhs, rhs, t);
    f.Add(rhs, rhs, b);
    return f.ok && CmpN<N>(lhs, rhs) == 0;
}

template <size_t N>
bool ToAffineN(const EcCurve& c, EcPoint* point) {
    if (point->infinity != 0) return false;
    Field<N> f{c};
    Digit* X = reinterpret_cast<Digit*>(point->x);
    Digit* Y = reinterpret_cast<Digit*>(point->y);
    Digit* Z = reinterpret_cast<Digit*>(point->z);
    Digit* T = reinterpret_cast<Digit*>(point->t);
    Digit inv[N], t[N], k[N];
    const uint32_t form = point->form;
    if (form == kFormWeierstrass || form > kFormEdwardsExtended) {
        if (IsZeroN<N>(Z)) return false;
        if (!MpModInverseChecked(inv, Z, c.pCopy, N)) return false;
        f.Mul(X, X, inv);
        f.Mul(Y, Y, inv);
        std::memset(Z, 0, N * sizeof(Digit));
        Z[0] = 1;
        if (form == kFormEdwardsExtended + 1) return f.ok;  // Montgomery form: no check
        if (form == kFormEdwardsExtended) f.Mul(T, X, Y);
    } else {
        // The RFC 7836 map of (u, v) through k; both results are then Weierstrass x and y.
        Digit num[N], den[N];
        if (form == kFormEdwardsInverted) {
            f.Add(num, Y, Z);
            f.Sub(den, Y, Z);
            f.Mul(den, den, Z);
        } else {
            f.Add(num, Z, Y);
            f.Sub(den, Z, Y);
            f.Mul(den, den, X);
        }
        f.Mul(num, c.s, num);
        if (!f.ok || !MpModInverseChecked(inv, den, c.pCopy, N)) return false;
        f.Mul(k, num, inv);
        const Digit* xSource = form == kFormEdwardsInverted ? Z : X;
        const Digit* ySource = form == kFormEdwardsInverted ? X : Z;
        f.Mul(t, xSource, k);
        f.Mul(Y, ySource, k);
        f.Add(X, t, c.t);
        std::memset(Z, 0, N * sizeof(Digit));
        Z[0] = 1;
        std::memset(T, 0, N * sizeof(Digit));
        point->form = kFormWeierstrass;
    }
    return f.ok && IsOnCurveN<N>(c, point);
}

}  // namespace

bool ScalarMultiply(const EcCurve* curve, EcPoint* point, const void* table, const uint8_t* scalar,
                    ScalarMethod method) {
    if (curve == nullptr || point == nullptr || scalar == nullptr || table != nullptr ||
        method != ScalarMethod::kSignedWindow)
        return false;
    return curve->digits == 4 ? ScalarMultiplyN<4>(*curve, point, scalar)
                              : ScalarMultiplyN<8>(*curve, point, scalar);
}

bool PointToAffine(const EcCurve* curve, EcPoint* point) {
    if (curve == nullptr || point == nullptr) return false;
    return curve->digits == 4 ? ToAffineN<4>(*curve, point) : ToAffineN<8>(*curve, point);
}

bool PointIsOnCurve(const EcCurve* curve, const EcPoint* point) {
    if (curve == nullptr || point == nullptr) return false;
    return curve->digits == 4 ? IsOnCurveN<4>(*curve, point) : IsOnCurveN<8>(*curve, point);
}

}  // namespace keymend

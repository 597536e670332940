// Field arithmetic modulo the prime p of a curve, for 256-bit (N = 4) and 512-bit (N = 8) curves.
// Inputs need not be fully reduced; outputs are in [0, p). Every operation returns its success
// bit. Products are reduced directly (no Montgomery form) by the curve's reduction kind:
//   1: p = 2^(bits-1) + c, folding with 2^bits = -2c;  2: p = 2^bits - c, folding with 2^bits = c;
//   4: quotient digits estimated by a 128-by-64-bit division (reciprocal of p's top digit);
//   5: plain MpMod.
#pragma once

#include <cstddef>
#include <cstring>

#include "crypto/ec/curve.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/mp_inline.h"

namespace keymend {

// Brings r below p with at most two subtractions; false when r is still not below p.
template <size_t N>
inline bool BelowPAfterTwoSubtractions(Digit* r, const Digit* p) {
    for (int i = 0; i < 2; ++i) {
        if (CmpN<N>(r, p) < 0) return true;
        SubN<N>(r, r, p);
    }
    return CmpN<N>(r, p) < 0;
}

template <size_t N>
inline bool FieldAddN(const EcCurve& c, Digit* r, const Digit* a, const Digit* b) {
    const Digit* p = c.pCopy;
    if (AddN<N>(r, a, b) != 0) {
        // The sum overflowed: subtract p until a borrow cancels the carry.
        int i = 0;
        while (i < 3 && SubN<N>(r, r, p) == 0) ++i;
        if (i == 3) return false;
    }
    return BelowPAfterTwoSubtractions<N>(r, p);
}

template <size_t N>
inline bool FieldSubN(const EcCurve& c, Digit* r, const Digit* a, const Digit* b) {
    const Digit* p = c.pCopy;
    if (SubN<N>(r, a, b) != 0) {
        int i = 0;
        while (i < 3 && AddN<N>(r, r, p) == 0) ++i;
        if (i == 3) return false;
    }
    return BelowPAfterTwoSubtractions<N>(r, p);
}

// r (N digits) = t (TL digits, TL >= N) mod p, for p with its top bit set: one quotient digit per
// step from the top two remainder digits, then at most two add-backs.
template <size_t N, size_t TL>
inline void ReduceNormalised(const EcCurve& c, Digit* r, const Digit* t) {
    const Digit* p = c.pCopy;
    const Digit pTop = p[N - 1];
    Digit w[TL + 1];
    std::memcpy(w, t, TL * sizeof(Digit));
    w[TL] = 0;
#pragma GCC unroll 8
    for (size_t step = 0; step <= TL - N; ++step) {
        Digit* x = w + (TL - N - step);
        Digit u1 = x[N];
        Digit qhat = u1 >= pTop ? ~Digit{0} : DivPreinv(u1, x[N - 1], pTop, c.pTopReciprocal);
        Digit mulCarry = 0;
        Digit borrow = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < N; ++i) {
            U128 prod = static_cast<U128>(qhat) * p[i] + mulCarry;
            mulCarry = static_cast<Digit>(prod >> 64);
            borrow = SubBorrow(x[i], x[i], static_cast<Digit>(prod), borrow);
        }
        borrow = SubBorrow(x[N], x[N], mulCarry, borrow);
        // qhat is often one too large: add p back without a branch, then (rarely) once more.
        Digit mask = static_cast<Digit>(0) - borrow;
        Digit carry = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < N; ++i) carry = AddCarry(x[i], x[i], p[i] & mask, carry);
        borrow &= AddCarry(x[N], x[N], 0, carry) ^ 1;
        while (borrow != 0) {
            carry = AddN<N>(x, x, p);
            borrow = AddCarry(x[N], x[N], 0, carry) ^ 1;
        }
    }
    std::memcpy(r, w, N * sizeof(Digit));
}

// Kind 4 for a normalised p: the high digits fold through 2^(64(N+k)) mod p (independent
// products), the small overflow digit once more, and two quotient digits finish.
template <size_t N>
inline void ReduceFolded(const EcCurve& c, Digit* r, const Digit* t) {
    Digit acc[N + 2];
    std::memcpy(acc, t, N * sizeof(Digit));
    acc[N] = 0;
    acc[N + 1] = 0;
#pragma GCC unroll 8
    for (size_t k = 0; k < N; ++k) {
        const Digit* power = c.foldPowers[k];
        Digit mulCarry = 0;
        Digit carry = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < N; ++i) {
            U128 prod = static_cast<U128>(t[N + k]) * power[i] + mulCarry;
            mulCarry = static_cast<Digit>(prod >> 64);
            carry = AddCarry(acc[i], acc[i], static_cast<Digit>(prod), carry);
        }
        carry = AddCarry(acc[N], acc[N], mulCarry, carry);
        acc[N + 1] += carry;
    }
    while (acc[N + 1] != 0) {  // at most N: fold it with 2^(64(N+1)) mod p
        Digit top = acc[N + 1];
        acc[N + 1] = 0;
        Digit mulCarry = 0;
        Digit carry = 0;
        for (size_t i = 0; i < N; ++i) {
            U128 prod = static_cast<U128>(top) * c.foldPowers[1][i] + mulCarry;
            mulCarry = static_cast<Digit>(prod >> 64);
            carry = AddCarry(acc[i], acc[i], static_cast<Digit>(prod), carry);
        }
        carry = AddCarry(acc[N], acc[N], mulCarry, carry);
        acc[N + 1] = carry;
    }
    ReduceNormalised<N, N + 1>(c, r, acc);
}

// r = t (2N digits) mod p by the curve's reduction kind.
template <size_t N>
inline bool ReduceWide(const EcCurve& c, Digit* r, const Digit* t) {
    const Digit* p = c.pCopy;
    const Digit cc = c.reductionC;
    switch (c.reductionKind) {
        case 2: {
            // lo + c*hi, then the overflow digit once more (2^bits = c mod p).
            Digit carry = 0;
            Digit mulCarry = 0;
            for (size_t i = 0; i < N; ++i) {
                U128 prod = static_cast<U128>(t[N + i]) * cc + mulCarry;
                mulCarry = static_cast<Digit>(prod >> 64);
                U128 s = static_cast<U128>(t[i]) + static_cast<Digit>(prod) + carry;
                r[i] = static_cast<Digit>(s);
                carry = static_cast<Digit>(s >> 64);
            }
            Digit top = mulCarry + carry;  // <= c
            U128 s = static_cast<U128>(r[0]) + static_cast<U128>(top) * cc;
            r[0] = static_cast<Digit>(s);
            carry = static_cast<Digit>(s >> 64);
            for (size_t i = 1; i < N && carry != 0; ++i) carry = (++r[i] == 0) ? 1 : 0;
            if (carry != 0) r[0] += cc;  // wrapped: r is tiny now, so this cannot carry
            if (CmpN<N>(r, p) >= 0) SubN<N>(r, r, p);
            if (CmpN<N>(r, p) >= 0) SubN<N>(r, r, p);
            return true;
        }
        case 1: {
            // lo - 2c*hi; the signed overflow o (value = r - o*2^bits) folds back as + 2c*o.
            const Digit c2 = 2 * cc;
            Digit borrow = 0;
            Digit mulCarry = 0;
            for (size_t i = 0; i < N; ++i) {
                U128 prod = static_cast<U128>(t[N + i]) * c2 + mulCarry;
                mulCarry = static_cast<Digit>(prod >> 64);
                U128 d = static_cast<U128>(t[i]) - static_cast<Digit>(prod) - borrow;
                r[i] = static_cast<Digit>(d);
                borrow = static_cast<Digit>(d >> 64) & 1;
            }
            Digit over = mulCarry + borrow;  // <= 2c
            U128 s = static_cast<U128>(r[0]) + static_cast<U128>(over) * c2;
            r[0] = static_cast<Digit>(s);
            Digit carry = static_cast<Digit>(s >> 64);
            for (size_t i = 1; i < N && carry != 0; ++i) carry = (++r[i] == 0) ? 1 : 0;
            if (carry != 0) {
                // r + 2^bits = r - 2c (mod p); r is small here, so add p back if that goes below 0.
                Digit sub[N] = {c2};
                if (SubN<N>(r, r, sub) != 0) AddN<N>(r, r, p);
            }
            if (CmpN<N>(r, p) >= 0) SubN<N>(r, r, p);  // r < 2^bits < 2p
            return true;
        }
        case 4:
            if (c.pNormalised != 0) {
                ReduceFolded<N>(c, r, t);
                return true;
            }
            return MpMod(r, t, 2 * N, p, N);
        default:
            return MpMod(r, t, 2 * N, p, N);
    }
}

template <size_t N>
inline bool FieldMulN(const EcCurve& c, Digit* r, const Digit* a, const Digit* b) {
    Digit t[2 * N];
    MulN<N>(t, a, b);
    return ReduceWide<N>(c, r, t);
}

template <size_t N>
inline bool FieldSqrN(const EcCurve& c, Digit* r, const Digit* a) {
    Digit t[2 * N];
    SqrN<N>(t, a);
    return ReduceWide<N>(c, r, t);
}

// r = a * k mod p for a 64-bit k: the N+1-digit product, reduced by the fold of kinds 1 and 2, by
// quotient digits when p is normalised, else by MpMod.
template <size_t N>
inline bool FieldMulSmallN(const EcCurve& c, Digit* r, const Digit* a, Digit k) {
    Digit t[N + 1];
    MpMulDigit(t, a, N, k);
    if (c.reductionKind == 1 || c.reductionKind == 2) {
        // The special folds take the product as a 2N-digit value.
        Digit wide[2 * N] = {};
        std::memcpy(wide, t, sizeof(t));
        return ReduceWide<N>(c, r, wide);
    }
    if (c.pNormalised != 0) {
        ReduceNormalised<N, N + 1>(c, r, t);
        return true;
    }
    return MpMod(r, t, N + 1, c.pCopy, N);
}

// Width-dispatching forms for code that is not specialised (curve set-up, tests).
bool FieldAdd(const EcCurve& c, Digit* r, const Digit* a, const Digit* b);
bool FieldSub(const EcCurve& c, Digit* r, const Digit* a, const Digit* b);
bool FieldMul(const EcCurve& c, Digit* r, const Digit* a, const Digit* b);
bool FieldSqr(const EcCurve& c, Digit* r, const Digit* a);
bool FieldMulSmall(const EcCurve& c, Digit* r, const Digit* a, Digit k);

}  // namespace keymend

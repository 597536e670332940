// Straight-line fixed-width digit arithmetic shared by the multi-precision and field code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/ec/mp.h"
#include "crypto/ec/u128.h"

namespace keymend {

#ifdef __SIZEOF_INT128__
using U128 = unsigned __int128;
#else
using U128 = PortableU128;  // 32-bit targets
#endif

// r = a + b + c (c is 0 or 1); returns the carry out.
inline Digit AddCarry(Digit& r, Digit a, Digit b, Digit c) {
    Digit s;
    Digit c1 = __builtin_add_overflow(a, b, &s);
    Digit c2 = __builtin_add_overflow(s, c, &r);
    return c1 | c2;
}

// r = a - b - c (c is 0 or 1); returns the borrow out.
inline Digit SubBorrow(Digit& r, Digit a, Digit b, Digit c) {
    Digit d;
    Digit b1 = __builtin_sub_overflow(a, b, &d);
    Digit b2 = __builtin_sub_overflow(d, c, &r);
    return b1 | b2;
}

// r (n + 1 digits) = a (n digits) * d.
inline void MpMulDigit(Digit* r, const Digit* a, size_t n, Digit d) {
    Digit carry = 0;
    for (size_t i = 0; i < n; ++i) {
        const U128 t = static_cast<U128>(a[i]) * d + carry;
        r[i] = static_cast<Digit>(t);
        carry = static_cast<Digit>(t >> 64);
    }
    r[n] = carry;
}

template <size_t N>
inline Digit AddN(Digit* r, const Digit* a, const Digit* b) {
    Digit c = 0;
#pragma GCC unroll 8
    for (size_t i = 0; i < N; ++i) c = AddCarry(r[i], a[i], b[i], c);
    return c;
}

template <size_t N>
inline Digit SubN(Digit* r, const Digit* a, const Digit* b) {
    Digit c = 0;
#pragma GCC unroll 8
    for (size_t i = 0; i < N; ++i) c = SubBorrow(r[i], a[i], b[i], c);
    return c;
}

// -1, 0, 1 from the most significant digit down.
template <size_t N>
inline int CmpN(const Digit* a, const Digit* b) {
    for (size_t i = N; i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

template <size_t N>
inline bool IsZeroN(const Digit* a) {
    Digit acc = 0;
    for (size_t i = 0; i < N; ++i) acc |= a[i];
    return acc == 0;
}

// r (2N digits) = a * b; r must not alias a or b.
template <size_t N>
inline void MulN(Digit* r, const Digit* a, const Digit* b) {
    Digit carry = 0;
    for (size_t i = 0; i < N; ++i) {
        U128 t = static_cast<U128>(a[i]) * b[0] + carry;
        r[i] = static_cast<Digit>(t);
        carry = static_cast<Digit>(t >> 64);
    }
    r[N] = carry;
    for (size_t j = 1; j < N; ++j) {
        carry = 0;
        for (size_t i = 0; i < N; ++i) {
            U128 t = static_cast<U128>(a[i]) * b[j] + r[i + j] + carry;
            r[i + j] = static_cast<Digit>(t);
            carry = static_cast<Digit>(t >> 64);
        }
        r[j + N] = carry;
    }
}

// r (2N digits) = a^2: the cross products once, doubled, plus the squares.
template <size_t N>
inline void SqrN(Digit* r, const Digit* a) {
    for (size_t i = 0; i < 2 * N; ++i) r[i] = 0;
    for (size_t i = 0; i + 1 < N; ++i) {
        Digit carry = 0;
        for (size_t j = i + 1; j < N; ++j) {
            U128 t = static_cast<U128>(a[i]) * a[j] + r[i + j] + carry;
            r[i + j] = static_cast<Digit>(t);
            carry = static_cast<Digit>(t >> 64);
        }
        r[i + N] = carry;
    }
    Digit top = 0;
    for (size_t i = 0; i < 2 * N; ++i) {
        Digit next = r[i] >> 63;
        r[i] = (r[i] << 1) | top;
        top = next;
    }
    Digit carry = 0;
    for (size_t i = 0; i < N; ++i) {
        U128 sq = static_cast<U128>(a[i]) * a[i];
        U128 lo = static_cast<U128>(r[2 * i]) + static_cast<Digit>(sq) + carry;
        r[2 * i] = static_cast<Digit>(lo);
        U128 hi = static_cast<U128>(r[2 * i + 1]) + static_cast<Digit>(sq >> 64) +
                  static_cast<Digit>(lo >> 64);
        r[2 * i + 1] = static_cast<Digit>(hi);
        carry = static_cast<Digit>(hi >> 64);
    }
}

// Reciprocal of a normalised divisor d (top bit set): floor((2^128 - 1) / d) - 2^64.
inline Digit Reciprocal(Digit d) {
    return static_cast<Digit>(~static_cast<U128>(0) / d - (static_cast<U128>(1) << 64));
}

// floor((u1 * 2^64 + u0) / d) for a normalised d and u1 < d, by multiplication with the
// reciprocal (division by invariant integers).
inline Digit DivPreinv(Digit u1, Digit u0, Digit d, Digit v) {
    U128 q = static_cast<U128>(v) * u1 + ((static_cast<U128>(u1) << 64) | u0);
    Digit q1 = static_cast<Digit>(q >> 64) + 1;
    Digit q0 = static_cast<Digit>(q);
    Digit r = u0 - q1 * d;
    // The first correction is taken about half the time: branch-free.
    Digit mask = static_cast<Digit>(0) - static_cast<Digit>(r > q0);
    q1 += mask;
    r += mask & d;
    if (r >= d) {  // rare
        ++q1;
    }
    return q1;
}

}  // namespace keymend

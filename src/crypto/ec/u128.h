// A 128-bit unsigned integer built from two 64-bit halves, for targets whose compiler has no
// unsigned __int128 (32-bit x86). It supports exactly the operations the digit arithmetic uses,
// with the same wrap-around results as the built-in type.
#pragma once

#include <cstdint>
#include <type_traits>

namespace keymend {

struct PortableU128 {
    uint64_t lo = 0;
    uint64_t hi = 0;

    constexpr PortableU128() = default;
    // From any integer, as a conversion to unsigned __int128 would do (negative values wrap).
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
    constexpr PortableU128(T v)  // NOLINT(google-explicit-constructor): mirrors the built-in
        : lo(static_cast<uint64_t>(v)), hi(v < T{0} ? ~uint64_t{0} : 0) {}
    constexpr PortableU128(uint64_t high, uint64_t low, int) : lo(low), hi(high) {}

    explicit constexpr operator uint64_t() const { return lo; }

    // Full 128-bit product of two 64-bit values, from 32-bit halves.
    static constexpr PortableU128 Mul64(uint64_t a, uint64_t b) {
        const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
        const uint64_t b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
        return PortableU128(p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32),
                            (middle << 32) | (p00 & 0xFFFFFFFFu), 0);
    }

    friend constexpr PortableU128 operator+(PortableU128 a, PortableU128 b) {
        const uint64_t low = a.lo + b.lo;
        return PortableU128(a.hi + b.hi + (low < a.lo ? 1 : 0), low, 0);
    }
    friend constexpr PortableU128 operator-(PortableU128 a, PortableU128 b) {
        return PortableU128(a.hi - b.hi - (a.lo < b.lo ? 1 : 0), a.lo - b.lo, 0);
    }
    friend constexpr PortableU128 operator*(PortableU128 a, PortableU128 b) {
        PortableU128 r = Mul64(a.lo, b.lo);
        r.hi += a.lo * b.hi + a.hi * b.lo;
        return r;
    }
    friend constexpr PortableU128 operator~(PortableU128 a) { return PortableU128(~a.hi, ~a.lo, 0); }
    friend constexpr PortableU128 operator|(PortableU128 a, PortableU128 b) {
        return PortableU128(a.hi | b.hi, a.lo | b.lo, 0);
    }
    friend constexpr PortableU128 operator&(PortableU128 a, PortableU128 b) {
        return PortableU128(a.hi & b.hi, a.lo & b.lo, 0);
    }
    friend constexpr PortableU128 operator<<(PortableU128 a, int n) {
        if (n <= 0) return a;
        if (n >= 128) return PortableU128();
        if (n >= 64) return PortableU128(a.lo << (n - 64), 0, 0);
        return PortableU128((a.hi << n) | (a.lo >> (64 - n)), a.lo << n, 0);
    }
    friend constexpr PortableU128 operator>>(PortableU128 a, int n) {
        if (n <= 0) return a;
        if (n >= 128) return PortableU128();
        if (n >= 64) return PortableU128(0, a.hi >> (n - 64), 0);
        return PortableU128(a.hi >> n, (a.lo >> n) | (a.hi << (64 - n)), 0);
    }
    friend constexpr bool operator==(PortableU128 a, PortableU128 b) {
        return a.lo == b.lo && a.hi == b.hi;
    }
    friend constexpr bool operator<(PortableU128 a, PortableU128 b) {
        return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
    }
    // Shift-and-subtract long division; the digit code divides only when it sets up a
    // reciprocal, so speed does not matter here. Division by zero gives zero.
    friend constexpr PortableU128 operator/(PortableU128 a, PortableU128 b) {
        if (b == PortableU128()) return PortableU128();
        PortableU128 quotient;
        PortableU128 remainder;
        for (int bit = 127; bit >= 0; --bit) {
            remainder = (remainder << 1) | ((a >> bit) & PortableU128(1));
            if (!(remainder < b)) {
                remainder = remainder - b;
                quotient = quotient | (PortableU128(1) << bit);
            }
        }
        return quotient;
    }
};

}  // namespace keymend

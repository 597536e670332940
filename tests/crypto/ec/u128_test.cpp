// The two-half 128-bit integer used on 32-bit targets against the compiler's unsigned __int128.
#include <gtest/gtest.h>

#include <random>

#include "crypto/ec/u128.h"

namespace keymend {
namespace {

#ifdef __SIZEOF_INT128__
using Native = unsigned __int128;

PortableU128 FromNative(Native v) {
    return PortableU128(static_cast<uint64_t>(v >> 64), static_cast<uint64_t>(v), 0);
}

void ExpectSame(PortableU128 got, Native want, const char* what) {
    EXPECT_EQ(got.lo, static_cast<uint64_t>(want)) << what;
    EXPECT_EQ(got.hi, static_cast<uint64_t>(want >> 64)) << what;
}

TEST(PortableU128, MatchesTheBuiltInType) {
    std::mt19937_64 rng(128);
    const uint64_t edges[] = {0, 1, 2, 0xFFFFFFFFu, 0x100000000u, 0x8000000000000000u,
                              ~uint64_t{0}, ~uint64_t{0} - 1};
    auto pick = [&](int i) -> uint64_t {
        return (i & 3) == 0 ? edges[rng() % (sizeof edges / sizeof edges[0])] : rng();
    };
    for (int i = 0; i < 20000; ++i) {
        const Native a = (static_cast<Native>(pick(i)) << 64) | pick(i + 1);
        const Native b = (static_cast<Native>((i & 1) != 0 ? pick(i + 2) : 0) << 64) | pick(i + 3);
        const PortableU128 pa = FromNative(a), pb = FromNative(b);
        const int shift = static_cast<int>(rng() % 128);
        ExpectSame(pa + pb, a + b, "+");
        ExpectSame(pa - pb, a - b, "-");
        ExpectSame(pa * pb, a * b, "*");
        ExpectSame(~pa, ~a, "~");
        ExpectSame(pa | pb, a | b, "|");
        ExpectSame(pa << shift, a << shift, "<<");
        ExpectSame(pa >> shift, a >> shift, ">>");
        if (b != 0) ExpectSame(pa / pb, a / b, "/");
        EXPECT_EQ(pa < pb, a < b);
        EXPECT_EQ(static_cast<uint64_t>(pa), static_cast<uint64_t>(a));
        // Mixed with 64-bit operands, as the digit code writes it.
        const uint64_t d = pick(i + 4), e = pick(i + 5);
        ExpectSame(PortableU128(d) * e + d, static_cast<Native>(d) * e + d, "mix");
    }
    ExpectSame(PortableU128(-1), static_cast<Native>(-1), "sign extension");
}
#endif

}  // namespace
}  // namespace keymend

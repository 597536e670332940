// Multi-precision arithmetic: GuardedBuffer, remainder and inverse against OpenSSL's BIGNUM, every
// reduction kind against plain MpMod, scratch discipline.
#include "crypto/ec/mp.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/curve_table.h"
#include "crypto/ec/field.h"
#include "platform/last_error.h"

namespace keymend {
namespace {

using Num = std::vector<Digit>;

std::mt19937_64& Rng() {
    static std::mt19937_64 rng(20261206);
    return rng;
}

Num Random(size_t n) {
    Num v(n);
    for (auto& d : v) d = Rng()();
    return v;
}

// Little-endian digits to and from BIGNUM (the independent reference).
BIGNUM* ToBn(const Num& v) {
    return BN_lebin2bn(reinterpret_cast<const uint8_t*>(v.data()), static_cast<int>(8 * v.size()),
                       nullptr);
}

Num FromBn(const BIGNUM* bn, size_t n) {
    Num v(n, 0);
    EXPECT_GE(BN_bn2lebinpad(bn, reinterpret_cast<uint8_t*>(v.data()), static_cast<int>(8 * n)), 0);
    return v;
}

Num BnModReference(const Num& a, const Num& m) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM *x = ToBn(a), *y = ToBn(m), *r = BN_new();
    BN_mod(r, x, y, ctx);
    Num out = FromBn(r, m.size());
    BN_free(x), BN_free(y), BN_free(r), BN_CTX_free(ctx);
    return out;
}

TEST(GuardedBuffer, ChecksumFollowsTheGroupAndRemainderRules) {
    // Values from an independent model of the checksum over bytes 37*i + 11. Three trailing words
    // are added as one pair, then one word.
    const uint32_t expected[] = {0x8888888a, 0x808ca89a, 0xa090b89a, 0x6088b893,
                                 0x8060894a, 0x87b88883, 0x7fc8888d};
    uint8_t data[24];
    for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t words = 0; words < 7; ++words) {
        EXPECT_EQ(GuardedChecksum(data, words), expected[words]) << words << " words";
    }
}

const uint8_t* g_released = nullptr;
std::vector<uint8_t> g_releasedBytes;
void ObserveRelease(const uint8_t* data, size_t size) {
    if (data == g_released) g_releasedBytes.assign(data, data + size);
}

TEST(GuardedBuffer, CreateCloneAndDestroyRules) {
    uint8_t bytes[16];
    for (uint8_t i = 0; i < 16; ++i) bytes[i] = i;
    EXPECT_EQ(GuardedBufferCreate(bytes, 0, 3, true, false), nullptr);
    EXPECT_EQ(GuardedBufferCreate(nullptr, 16, 3, false, false), nullptr);

    GuardedBuffer* view = GuardedBufferCreate(bytes, 16, 3, false, true);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->data, bytes);
    EXPECT_TRUE(GuardedBufferVerify(view, GuardedChecksum(bytes, 4)));
    GuardedBufferDestroy(view);
    EXPECT_EQ(bytes[5], 5);  // a view is not overwritten

    GuardedBuffer* owned = GuardedBufferCreate(bytes, 16, 3, true, true);
    ASSERT_NE(owned, nullptr);
    EXPECT_NE(owned->data, bytes);
    EXPECT_EQ(std::memcmp(owned->data, bytes, 16), 0);
    owned->extra = 0xABCD;
    GuardedBuffer* clone = GuardedBufferClone(owned);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone->data, owned->data);
    EXPECT_EQ(std::memcmp(clone->data, bytes, 16), 0);
    EXPECT_EQ(clone->checksum, owned->checksum);
    EXPECT_EQ(clone->extra, 0xABCDu);

    SetReleaseObserverForTesting(ObserveRelease);
    g_released = owned->data;
    GuardedBufferDestroy(owned);
    SetReleaseObserverForTesting(nullptr);
    EXPECT_EQ(g_releasedBytes, std::vector<uint8_t>(16, 0x42));
    EXPECT_EQ(clone->data[15], 15);  // the clone owns its own copy
    GuardedBufferDestroy(clone);

    SetLastErrorWord(0);
    EXPECT_EQ(GuardedBufferClone(nullptr), nullptr);
    EXPECT_EQ(GetLastErrorWord(), kStatusBadData);
}

TEST(MpMod, MatchesBignumForManyShapes) {
    const size_t scratch = ScratchFree();
    for (int round = 0; round < 300; ++round) {
        size_t la = 1 + Rng()() % 17;
        size_t lm = 1 + Rng()() % 9;
        Num a = Random(la);
        Num m = Random(lm);
        // Leading zero digits, small tops and single-digit moduli exercise normalisation.
        if (round % 3 == 0 && lm > 1) m[lm - 1] = 0;
        if (round % 5 == 0) m[lm - 1] &= 0xFF;
        if (MpTopDigit(m.data(), lm) < 0) m[0] = 7;
        Num r(lm, ~Digit{0});
        ASSERT_TRUE(MpMod(r.data(), a.data(), la, m.data(), lm));
        EXPECT_EQ(r, BnModReference(a, m)) << "la=" << la << " lm=" << lm;
    }
    // Shorter than the modulus and already reduced: unchanged, zero-extended.
    Num small = {5, 6};
    Num m = Random(4);
    Num r(4, 9);
    ASSERT_TRUE(MpMod(r.data(), small.data(), 2, m.data(), 4));
    EXPECT_EQ(r, (Num{5, 6, 0, 0}));
    // Modulus zero fails; numerator zero gives zero.
    Num zero(4, 0);
    EXPECT_FALSE(MpMod(r.data(), m.data(), 4, zero.data(), 4));
    ASSERT_TRUE(MpMod(r.data(), zero.data(), 4, m.data(), 4));
    EXPECT_EQ(r, zero);
    EXPECT_EQ(ScratchFree(), scratch);
}

TEST(MpModInverse, EdgeCasesAndBignumAgreement) {
    const size_t scratch = ScratchFree();
    for (size_t n : {size_t{4}, size_t{8}}) {
        Num m = Random(n);
        m[0] |= 1;
        m[n - 1] |= Digit{1} << 63;
        // Make m prime-free of small worries: use it as a generic odd modulus; check against BIGNUM.
        BN_CTX* ctx = BN_CTX_new();
        for (int round = 0; round < 20; ++round) {
            Num a = Random(n);
            Num r(n);
            BIGNUM *x = ToBn(a), *y = ToBn(m), *inv = BN_new();
            bool exists = BN_mod_inverse(inv, x, y, ctx) != nullptr;
            EXPECT_EQ(MpModInverseChecked(r.data(), a.data(), m.data(), n), exists);
            if (exists) {
                EXPECT_EQ(r, FromBn(inv, n));
            }
            BN_free(x), BN_free(y), BN_free(inv);
        }
        BN_CTX_free(ctx);

        Num zero(n, 0), one(n, 0), mMinus1 = m, twoM(n), r(n);
        one[0] = 1;
        mMinus1[0] -= 1;
        EXPECT_FALSE(MpModInverse(r.data(), zero.data(), m.data(), n));
        EXPECT_FALSE(MpModInverse(r.data(), m.data(), m.data(), n));
        ASSERT_TRUE(MpModInverse(r.data(), one.data(), m.data(), n));
        EXPECT_EQ(r, one);
        ASSERT_TRUE(MpModInverse(r.data(), mMinus1.data(), m.data(), n));
        EXPECT_EQ(r, mMinus1);
        // A multiple of m that fits the width: 2m with the top bit of m cleared.
        Num half = m;
        half[n - 1] &= ~(Digit{1} << 63);
        MpAdd(twoM.data(), half.data(), half.data(), n);
        EXPECT_FALSE(MpModInverse(r.data(), twoM.data(), half.data(), n));
    }
    // Words: odd counts fail without touching the output; input and output may coincide.
    uint32_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t a[8] = {3}, m[8] = {0xFFFFFFF1, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_FALSE(MpModInverseWords(out, a, m, 7));
    EXPECT_EQ(out[6], 7u);
    ASSERT_TRUE(MpModInverseWords(a, a, m, 8));
    Num check(4), three = {3, 0, 0, 0}, inv(4), mm(4);
    std::memcpy(inv.data(), a, 32);
    std::memcpy(mm.data(), m, 32);
    ASSERT_TRUE(MpModMul(check.data(), inv.data(), three.data(), mm.data(), 4));
    EXPECT_EQ(check, (Num{1, 0, 0, 0}));
    // Even moduli are refused (all moduli in use are odd primes).
    Num even = {10, 0, 0, 0}, seven = {7, 0, 0, 0}, r(4);
    EXPECT_FALSE(MpModInverse(r.data(), seven.data(), even.data(), 4));
    EXPECT_EQ(ScratchFree(), scratch);
}

// Every reduction kind against plain MpMod of the full product, on random operands and on values
// around p (p - 1, p, p + 1 and the all-ones value, not fully reduced inputs).
TEST(Field, EveryReductionKindMatchesPlainRemainder) {
    const size_t scratch = ScratchFree();
    std::vector<uint32_t> kindsSeen;
    for (size_t row = 0; row < kCurveTableRows; ++row) {
        EcCurve* c = CurveCreate(kCurveTable[row].oid, 0);
        ASSERT_NE(c, nullptr) << kCurveTable[row].oid;
        const size_t n = c->digits;
        kindsSeen.push_back(c->reductionKind);
        Num p(c->pCopy, c->pCopy + n);
        Num pMinus1 = p, pPlus1 = p, ones(n, ~Digit{0});
        MpDec(pMinus1.data(), n);
        MpInc(pPlus1.data(), n);
        std::vector<Num> values = {pMinus1, p, pPlus1, ones, Num(n, 0)};
        for (int i = 0; i < 40; ++i) values.push_back(Random(n));
        for (size_t i = 0; i < values.size(); ++i) {
            const Num& a = values[i];
            const Num& b = values[(i * 7 + 3) % values.size()];
            Num product(2 * n), expected(n), got(n);
            MpMul(product.data(), a.data(), n, b.data(), n);
            ASSERT_TRUE(MpMod(expected.data(), product.data(), 2 * n, p.data(), n));
            ASSERT_TRUE(FieldMul(*c, got.data(), a.data(), b.data()));
            EXPECT_EQ(got, expected) << kCurveTable[row].oid << " kind " << c->reductionKind;
            MpMul(product.data(), a.data(), n, a.data(), n);
            ASSERT_TRUE(MpMod(expected.data(), product.data(), 2 * n, p.data(), n));
            ASSERT_TRUE(FieldSqr(*c, got.data(), a.data()));
            EXPECT_EQ(got, expected) << kCurveTable[row].oid << " square";
            Digit k = i % 2 == 0 ? Rng()() : Digit{8};
            MpMulDigit(product.data(), a.data(), n, k);
            ASSERT_TRUE(MpMod(expected.data(), product.data(), n + 1, p.data(), n));
            ASSERT_TRUE(FieldMulSmall(*c, got.data(), a.data(), k));
            EXPECT_EQ(got, expected) << kCurveTable[row].oid << " small";
        }
        // Sums and differences of reduced operands, and the edge values.
        Num r(n), zero(n, 0), one(n, 0), pMinus2 = pMinus1;
        one[0] = 1;
        MpDec(pMinus2.data(), n);
        ASSERT_TRUE(FieldAdd(*c, r.data(), pMinus1.data(), pMinus1.data()));
        EXPECT_EQ(r, pMinus2);
        ASSERT_TRUE(FieldSub(*c, r.data(), zero.data(), one.data()));
        EXPECT_EQ(r, pMinus1);
        for (int i = 0; i < 20; ++i) {
            Num a = Random(n), b = Random(n), expected(n), sum(n), wide(n + 1);
            ASSERT_TRUE(MpMod(a.data(), a.data(), n, p.data(), n));
            ASSERT_TRUE(MpMod(b.data(), b.data(), n, p.data(), n));
            wide[n] = MpAdd(wide.data(), a.data(), b.data(), n);
            ASSERT_TRUE(MpMod(expected.data(), wide.data(), n + 1, p.data(), n));
            ASSERT_TRUE(FieldAdd(*c, sum.data(), a.data(), b.data()));
            EXPECT_EQ(sum, expected);
            ASSERT_TRUE(FieldSub(*c, r.data(), sum.data(), b.data()));
            EXPECT_EQ(r, a);
        }
        CurveDestroy(c);
    }
    for (uint32_t kind : {1u, 2u, 4u, 5u}) {
        EXPECT_NE(std::find(kindsSeen.begin(), kindsSeen.end(), kind), kindsSeen.end()) << kind;
    }
    EXPECT_EQ(ScratchFree(), scratch);
}

TEST(Field, AddAndSubtractFailFarAboveP) {
    EcCurve* small = CurveCreate("1.2.840.10045.3.1.1", 0);  // P-192 in 256 bits: 2^256 >> 3p
    ASSERT_NE(small, nullptr);
    Num big(4, ~Digit{0}), z(4, 0), s(4);
    EXPECT_FALSE(FieldAdd(*small, s.data(), big.data(), z.data()));
    EXPECT_FALSE(FieldSub(*small, s.data(), z.data(), big.data()));
    CurveDestroy(small);
}

TEST(MpScratch, TooSmallBudgetFailsCleanly) {
    const size_t scratch = ScratchFree();
    Num a = Random(8), m = Random(4), r(4, 0x77);
    m[3] |= 1;
    m[0] |= 1;
    // MpMod needs 24*(8+2) + 16*4 = 304 bytes.
    ASSERT_TRUE(ScratchSetLimitForTesting(303));
    EXPECT_FALSE(MpMod(r.data(), a.data(), 8, m.data(), 4));
    EXPECT_EQ(ScratchFree(), 303u);
    EXPECT_FALSE(MpModInverseChecked(r.data(), a.data(), m.data(), 4));
    EXPECT_EQ(ScratchFree(), 303u);
    ASSERT_TRUE(ScratchSetLimitForTesting(304));
    EXPECT_TRUE(MpMod(r.data(), a.data(), 8, m.data(), 4));
    ASSERT_TRUE(ScratchSetLimitForTesting(0));
    EXPECT_EQ(ScratchFree(), scratch);
}

}  // namespace
}  // namespace keymend

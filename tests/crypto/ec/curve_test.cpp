// Curve table and objects: group order of every row, the RFC 7836 maps between the Edwards rows
// and their Weierstrass twins, lookups, affine conversion failures and the reduction table.
#include "crypto/ec/curve.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/context/crypto_context.h"
#include "crypto/ec/curve_table.h"
#include "crypto/ec/field.h"
#include "crypto/ec/keypair.h"

namespace keymend {
namespace {

using Num = std::vector<Digit>;

EcPoint* BaseCopy(const EcCurve* c) {
    EcPoint* pt = PointCreate(c->basePoint->x, c->basePoint->y, c->basePoint->z, c->width);
    pt->form = c->form;
    return pt;
}

Num Affine(const EcCurve* c, const uint8_t* scalar) {
    EcPoint* pt = BaseCopy(c);
    Num out;
    if (ScalarMultiply(c, pt, nullptr, scalar, 1) && PointToAffine(c, pt)) {
        out.assign(2 * c->digits, 0);
        std::memcpy(out.data(), pt->x, c->width);
        std::memcpy(out.data() + c->digits, pt->y, c->width);
    }
    PointDestroy(pt);
    return out;
}

// q * G is neutral, (q - 1) * G = -G and (q + 1) * G = G on every row and in both forms.
TEST(Curve, EveryRowHasItsBasePointOfOrderQ) {
    const size_t scratch = ScratchFree();
    for (size_t row = 0; row < kCurveTableRows; ++row) {
        const char* oid = kCurveTable[row].oid;
        int mode = kCurveTable[row].form == 0 ? 0 : 2;
        SCOPED_TRACE(std::string(oid) + " mode " + std::to_string(mode));
        EcCurve* c = CurveCreate(oid, mode);
        ASSERT_NE(c, nullptr);
        const size_t n = c->digits;
        Num q(c->qCopy, c->qCopy + n), qMinus1 = q, qPlus1 = q, one(n, 0);
        MpDec(qMinus1.data(), n);
        MpInc(qPlus1.data(), n);
        one[0] = 1;

        EcPoint* pt = BaseCopy(c);
        ASSERT_TRUE(ScalarMultiply(c, pt, nullptr, reinterpret_cast<uint8_t*>(q.data()), 1));
        EXPECT_EQ(pt->infinity, 1u);
        EXPECT_FALSE(PointToAffine(c, pt));
        PointDestroy(pt);

        Num g = Affine(c, reinterpret_cast<uint8_t*>(one.data()));
        ASSERT_EQ(g.size(), 2 * n);
        Num minus = Affine(c, reinterpret_cast<uint8_t*>(qMinus1.data()));
        ASSERT_EQ(minus.size(), 2 * n);
        EXPECT_TRUE(std::equal(g.begin(), g.begin() + static_cast<long>(n), minus.begin()));
        Num negY(n);
        FieldSub(*c, negY.data(), c->pCopy, g.data() + n);
        EXPECT_TRUE(std::equal(negY.begin(), negY.end(), minus.begin() + static_cast<long>(n)));
        if (MpCmp(qPlus1.data(), q.data(), n) > 0) {
            EXPECT_EQ(Affine(c, reinterpret_cast<uint8_t*>(qPlus1.data())), g);
        }
        CurveDestroy(c);
    }
    EXPECT_EQ(ScratchFree(), scratch);
}

TEST(Curve, EdwardsRowsMapToTheirWeierstrassTwins) {
    for (const char* oid : {"1.2.643.7.1.2.1.1.1", "1.2.643.7.1.2.1.2.3"}) {
        SCOPED_TRACE(oid);
        EcCurve* w = CurveCreate(oid, 0);
        EcCurve* e = CurveCreate(oid, 2);
        ASSERT_NE(w, nullptr);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(w->form, kFormWeierstrass);
        EXPECT_EQ(e->form, kFormEdwardsInverted);
        const size_t n = w->digits;
        // a = s^2 - 3t^2 and b = 2t^3 - t s^2 with the s and t derived from e and d.
        Num s2(n), t2(n), t3(n), x(n), y(n), b(n, 0);
        std::memcpy(b.data(), w->b, w->width);
        FieldSqr(*e, s2.data(), e->s);
        FieldSqr(*e, t2.data(), e->t);
        FieldMulSmall(*e, x.data(), t2.data(), 3);
        FieldSub(*e, x.data(), s2.data(), x.data());
        EXPECT_TRUE(std::equal(x.begin(), x.end(), w->fullA));
        FieldMul(*e, t3.data(), t2.data(), e->t);
        FieldAdd(*e, t3.data(), t3.data(), t3.data());
        FieldMul(*e, y.data(), e->t, s2.data());
        FieldSub(*e, y.data(), t3.data(), y.data());
        EXPECT_EQ(y, b);
        // The inverted base point (1/u, 1/v, 1) converts to the Weierstrass base point.
        EcPoint* pt = BaseCopy(e);
        ASSERT_TRUE(PointToAffine(e, pt));
        EXPECT_EQ(std::memcmp(pt->x, w->basePoint->x, w->width), 0);
        EXPECT_EQ(std::memcmp(pt->y, w->basePoint->y, w->width), 0);
        PointDestroy(pt);
        // And so do multiples: both forms give the same affine point.
        Num k(n);
        for (size_t i = 0; i < n; ++i) k[i] = 0x9E3779B97F4A7C15ull * (i + 1);
        k[n - 1] >>= 4;
        EXPECT_EQ(Affine(e, reinterpret_cast<uint8_t*>(k.data())),
                  Affine(w, reinterpret_cast<uint8_t*>(k.data())));
        CurveDestroy(w);
        CurveDestroy(e);
    }
}

TEST(Curve, LookupsAndCreationRules) {
    struct Case {
        const char* oid;
        int edwardsKind;
        size_t keyLength;
    };
    const Case cases[] = {
        {"1.2.643.7.1.2.1.1.1", 2, 32}, {"1.2.643.7.1.2.1.2.3", 2, 64},
        {"1.2.643.7.1.2.1.1", 0, 0},    {"1.2.643.2.2.35.51", 3, 0},
        {"1.2.643.2.2.35.50", 1, 0},    {"1.3.6.1.4.1.11591.15.1", 1, 0},
        {"1.2.643.2.2.35.1", 0, 32},    {"1.2.643.7.1.2.1.2.2", 0, 64},
        {"1.2.643.2.2.35.1.", 0, 0},    {"", 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CurveEdwardsKind(c.oid), c.edwardsKind) << c.oid;
        EXPECT_EQ(CurveKeyLength(c.oid), c.keyLength) << c.oid;
        EXPECT_EQ(CurveOrderByOid(c.oid) != nullptr, c.keyLength != 0) << c.oid;
    }
    EXPECT_EQ(CurveEdwardsKind(nullptr), -1);
    EXPECT_EQ(CurveOrderByOid(nullptr), nullptr);

    // Key exchange set A carries the values of set A.
    EcCurve* a = CurveCreate("1.2.643.2.2.35.1", 0);
    EcCurve* xa = CurveCreate("1.2.643.2.2.36.0", 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(xa, nullptr);
    EXPECT_EQ(std::memcmp(a->pCopy, xa->pCopy, 32), 0);
    EXPECT_EQ(std::memcmp(a->qCopy, xa->qCopy, 32), 0);
    EXPECT_EQ(std::memcmp(a->basePoint->x, xa->basePoint->x, 3 * 32), 0);
    EXPECT_EQ(std::memcmp(a->reductionData, xa->reductionData, a->reductionTable->length), 0);
    // The Edwards row's q (the one the mask code uses) is the Weierstrass row's q.
    EXPECT_EQ(std::memcmp(CurveOrderByOid("1.2.643.7.1.2.1.1.1"),
                          kCurveTable[8].q.bytes, 32), 0);

    // Only the Edwards rows compute in mode 2; other modes and unknown OIDs fail.
    EXPECT_EQ(CurveCreate("1.2.643.2.2.35.1", 2), nullptr);
    EXPECT_EQ(CurveCreate("1.2.643.7.1.2.1.1.1", 1), nullptr);
    EXPECT_EQ(CurveCreate("1.2.643.7.1.2.1.1.1", -1), nullptr);
    EXPECT_EQ(CurveCreate(nullptr, 0), nullptr);
    EXPECT_EQ(CurveCreate("1.2.643.2.2.35.9", 0), nullptr);

    // Reduction table: entry 2^j = 2^(256 + 64j) mod p, sums of them, then 2p; checksum intact.
    const size_t n = a->digits;
    const Digit* table = reinterpret_cast<const Digit*>(a->reductionData);
    EXPECT_EQ(a->reductionTable->length, 8u * 32 + 32 + 8);
    EXPECT_TRUE(GuardedBufferVerify(a->reductionTable, a->reductionTable->checksum));
    Num power(7, 0), expected(n), sum(n);
    power[5] = 1;  // 2^320
    MpMod(expected.data(), power.data(), 6, a->pCopy, n);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), table + 2 * n));
    FieldAdd(*a, sum.data(), table + 1 * n, table + 6 * n);
    EXPECT_TRUE(std::equal(sum.begin(), sum.end(), table + 7 * n));
    Num twoP(n + 1);
    twoP[n] = MpAdd(twoP.data(), a->pCopy, a->pCopy, n);
    EXPECT_TRUE(std::equal(twoP.begin(), twoP.end(), table + 8 * n));
    CurveDestroy(a);
    CurveDestroy(xa);
    CurveDestroy(nullptr);
}

TEST(Curve, ParamSetCanonicalOid) {
    const std::vector<uint32_t> testSet = {1, 2, 643, 2, 2, 35, 0};
    const std::vector<uint32_t> xb = {1, 2, 643, 2, 2, 36, 1};
    const std::vector<uint32_t> tc26 = {1, 2, 643, 7, 1, 2, 1, 2, 3};
    const std::vector<uint32_t> prefix = {1, 2, 643, 7, 1, 2, 1, 1};
    const std::vector<uint32_t> huge = {1, 2, 643, 0xFFFFFFFF, 2, 35, 1};
    EXPECT_EQ(ParamSetCanonicalOid(testSet.data(), testSet.size()), nullptr);
    EXPECT_STREQ(ParamSetCanonicalOid(xb.data(), xb.size()), "1.2.643.2.2.36.1");
    EXPECT_STREQ(ParamSetCanonicalOid(tc26.data(), tc26.size()), "1.2.643.7.1.2.1.2.3");
    EXPECT_EQ(ParamSetCanonicalOid(prefix.data(), prefix.size()), nullptr);
    EXPECT_EQ(ParamSetCanonicalOid(huge.data(), huge.size()), nullptr);
    EXPECT_EQ(ParamSetCanonicalOid(xb.data(), 0), nullptr);
    for (const char* oid : kAcceptedParamSets) {
        EXPECT_EQ(ParamSetCanonicalOidText(oid), oid);
        EXPECT_GT(CurveKeyLength(oid), 0u);
    }
    EXPECT_EQ(ParamSetCanonicalOidText("1.2.840.10045.3.1.7"), nullptr);
}

TEST(Curve, AffineConversionRejectsPointsOffTheCurve) {
    for (int mode : {0, 2}) {
        EcCurve* c = CurveCreate("1.2.643.7.1.2.1.1.1", mode);
        ASSERT_NE(c, nullptr);
        EcPoint* pt = BaseCopy(c);
        EXPECT_TRUE(PointToAffine(c, pt));
        EXPECT_TRUE(PointIsOnCurve(c, pt));
        pt->y[0] ^= 1;
        EXPECT_FALSE(PointIsOnCurve(c, pt));
        EXPECT_FALSE(PointToAffine(c, pt));
        PointDestroy(pt);
        pt = BaseCopy(c);
        pt->x[3] ^= 0x10;  // altered before conversion
        EXPECT_FALSE(PointToAffine(c, pt));
        std::memset(pt->z, 0, c->width);
        EXPECT_FALSE(PointToAffine(c, pt));
        PointDestroy(pt);
        CurveDestroy(c);
    }
}

}  // namespace
}  // namespace keymend

// Elliptic-curve code: multi-precision and field arithmetic, every curve table row, lookups by OID,
// public keys of masked private keys, failure and scratch-budget rules, the portable 128-bit type.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/curve_table.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/key_mask.h"
#include "crypto/ec/field.h"
#include "crypto/ec/keypair.h"
#include "crypto/ec/mp.h"
#include "crypto/ec/u128.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using Num = std::vector<Digit>;
using test::Bytes;
using test::ToHex;

std::mt19937_64 g_rng(20261206);

Num Random(size_t n) {
    Num v(n);
    for (auto& d : v) d = g_rng();
    return v;
}

Num Small(size_t n, Digit value) {
    Num v(n, 0);
    v[0] = value;
    return v;
}

const uint8_t* Le(const Num& v) {
    return reinterpret_cast<const uint8_t*>(v.data());
}

// a mod m, or the inverse of a mod m (none when it does not exist), by OpenSSL's BIGNUM.
std::optional<Num> Bignum(const Num& a, const Num& m, bool inverse) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* x = BN_lebin2bn(Le(a), static_cast<int>(8 * a.size()), nullptr);
    BIGNUM* y = BN_lebin2bn(Le(m), static_cast<int>(8 * m.size()), nullptr);
    BIGNUM* r = BN_new();
    std::optional<Num> out;
    if (inverse ? BN_mod_inverse(r, x, y, ctx) != nullptr : BN_mod(r, x, y, ctx) == 1) {
        out = Num(m.size());
        BN_bn2lebinpad(r, reinterpret_cast<uint8_t*>(out->data()), static_cast<int>(8 * m.size()));
    }
    BN_free(x), BN_free(y), BN_free(r), BN_CTX_free(ctx);
    return out;
}

const std::vector<test::VectorRecord>& KeyPairs() {
    static const auto records =
        test::LoadVectors("ec/keypairs.vec", {"D", "Public", "CheckValue", "K", "M", "KPlusQ"});
    return records;
}

EcPoint* NewBase(const EcCurve* c) {
    EcPoint* pt = PointCreate(c->basePoint->x, c->basePoint->y, c->basePoint->z, c->width);
    pt->form = c->form;
    return pt;
}

// Hex of x then y of the base point multiplied by each scalar in turn; "neutral" for the neutral
// element (which has no affine form), empty when a step fails.
std::string Multiply(const EcCurve* c, std::initializer_list<const uint8_t*> scalars) {
    EcPoint* pt = NewBase(c);
    bool ok = true;
    for (const uint8_t* scalar : scalars) {
        ok = ok && ScalarMultiply(c, pt, nullptr, scalar, ScalarMethod::kSignedWindow);
    }
    std::string out;
    if (ok && pt->infinity != 0) {
        out = PointToAffine(c, pt) ? "" : "neutral";
    } else if (ok && PointToAffine(c, pt)) {
        out = ToHex(pt->x, 2 * c->width);  // y follows x
    }
    PointDestroy(pt);
    return out;
}

// Hex of the public key of (k, m), empty on failure.
std::string PublicKey(const Bytes& k, const Bytes& m, const char* oid) {
    Bytes out(2 * k.size(), 0);
    const bool ok = PublicKeyFromPrivate(out.data(), k.data(), k.size(), m.data(), m.size(), oid,
                                         MaskStep::kDivide);
    return ok ? ToHex(out) : "";
}

// Zero numerators, shorter (zero-extended) ones, leading zero digits, small tops, single-digit
// and zero moduli (refused).
TEST(MpMod, MatchesBignumForManyShapes) {
    const size_t scratch = ScratchFree();
    for (int round = 0; round < 300; ++round) {
        const size_t la = 1 + g_rng() % 17, lm = 1 + g_rng() % 9;
        Num a = Random(la), m = Random(lm), r(lm, ~Digit{0});
        if (round % 7 == 0) a.assign(la, 0);
        if (round % 3 == 0 && lm > 1) m[lm - 1] = 0;
        if (round % 5 == 0) m[lm - 1] &= 0xFF;
        if (round % 11 == 0) m.assign(lm, 0);
        const std::optional<Num> want = Bignum(a, m, false);
        EXPECT_EQ(MpMod(r.data(), a.data(), la, m.data(), lm), want.has_value());
        EXPECT_EQ(r, want.value_or(Num(lm, ~Digit{0}))) << "la=" << la << " lm=" << lm;
    }
    EXPECT_EQ(ScratchFree(), scratch);
}

// 0, 1, m - 1, m, 2m and random values on odd 256- and 512-bit moduli with and without the top
// bit set; the word form also in place, refusing odd word counts without writing.
TEST(MpModInverse, MatchesBignum) {
    const size_t scratch = ScratchFree();
    for (size_t n : {size_t{4}, size_t{8}}) {
        for (Digit top : {Digit{1} << 63, Digit{1} << 62}) {
            Num m = Random(n), mMinus1, twoM(n);
            m[0] |= 1;
            m[n - 1] = (m[n - 1] >> 2) | top;
            mMinus1 = m;
            mMinus1[0] -= 1;
            MpAdd(twoM.data(), m.data(), m.data(), n);
            std::vector<Num> values = {Num(n, 0), Small(n, 1), mMinus1, m, twoM};
            for (int i = 0; i < 20; ++i) values.push_back(Random(n));
            for (const Num& a : values) {
                SCOPED_TRACE(ToHex(Le(a), 8 * n) + " mod " + ToHex(Le(m), 8 * n));
                const std::optional<Num> want = Bignum(a, m, true);
                Num r(n), checked(n), words = a;
                auto* w = reinterpret_cast<uint32_t*>(words.data());
                const auto* mw = reinterpret_cast<const uint32_t*>(m.data());
                EXPECT_FALSE(MpModInverseWords(w, w, mw, 2 * n - 1));
                EXPECT_EQ(words, a);
                EXPECT_EQ(MpModInverse(r.data(), a.data(), m.data(), n), want.has_value());
                EXPECT_EQ(MpModInverseChecked(checked.data(), a.data(), m.data(), n),
                          want.has_value());
                EXPECT_EQ(MpModInverseWords(w, w, mw, 2 * n), want.has_value());
                if (want) {
                    EXPECT_EQ(r, *want);
                    EXPECT_EQ(checked, *want);
                    EXPECT_EQ(words, *want);
                }
            }
        }
    }
    // Even moduli are refused (all moduli in use are odd primes).
    Num r(4);
    EXPECT_FALSE(MpModInverse(r.data(), Small(4, 7).data(), Small(4, 10).data(), 4));
    EXPECT_EQ(ScratchFree(), scratch);
}

// Every reduction kind against OpenSSL's remainder, on random values and around p (not fully
// reduced inputs); P-192 in 256 bits, where 2^256 is well over 3p, makes sums and differences fail.
TEST(Field, EveryReductionKindMatchesPlainRemainder) {
    const size_t scratch = ScratchFree();
    std::set<uint32_t> kinds;
    for (const CurveRow& row : kCurveTable) {
        SCOPED_TRACE(row.oid);
        EcCurve* c = CurveCreate(row.oid, CurveForm::kWeierstrass);
        ASSERT_NE(c, nullptr);
        const size_t n = c->digits;
        kinds.insert(c->reductionKind);
        const Num p(c->pCopy, c->pCopy + n);
        Num pMinus1 = p, pPlus1 = p, r(n);
        MpDec(pMinus1.data(), n);
        MpInc(pPlus1.data(), n);
        auto mod = [&](const Num& x) { return *Bignum(x, p, false); };
        std::vector<Num> values = {pMinus1, p, pPlus1, Num(n, ~Digit{0}), Num(n, 0)};
        for (int i = 0; i < 40; ++i) values.push_back(Random(n));
        for (size_t i = 0; i < values.size(); ++i) {
            const Num &a = values[i], &b = values[(i * 7 + 3) % values.size()];
            const Digit k = i % 2 == 0 ? g_rng() : Digit{8};
            Num ab(2 * n), aa(2 * n), ak(n + 1), sum(n + 1);
            MpMul(ab.data(), a.data(), n, b.data(), n);
            MpMul(aa.data(), a.data(), n, a.data(), n);
            MpMulDigit(ak.data(), a.data(), n, k);
            ASSERT_TRUE(FieldMul(*c, r.data(), a.data(), b.data()));
            EXPECT_EQ(r, mod(ab)) << "kind " << c->reductionKind;
            ASSERT_TRUE(FieldSqr(*c, r.data(), a.data()));
            EXPECT_EQ(r, mod(aa)) << "square";
            ASSERT_TRUE(FieldMulSmall(*c, r.data(), a.data(), k));
            EXPECT_EQ(r, mod(ak)) << "times " << k;
            const Num ra = mod(a), rb = mod(b);
            sum[n] = MpAdd(sum.data(), ra.data(), rb.data(), n);
            ASSERT_TRUE(FieldAdd(*c, r.data(), ra.data(), rb.data()));
            EXPECT_EQ(r, mod(sum)) << "sum";
            ASSERT_TRUE(FieldSub(*c, sum.data(), r.data(), rb.data()));
            EXPECT_EQ(Num(sum.begin(), sum.begin() + static_cast<long>(n)), ra) << "difference";
        }
        ASSERT_TRUE(FieldSub(*c, r.data(), Num(n, 0).data(), Small(n, 1).data()));
        EXPECT_EQ(r, pMinus1);
        ASSERT_TRUE(FieldAdd(*c, r.data(), pMinus1.data(), pMinus1.data()));
        MpDec(pMinus1.data(), n);
        EXPECT_EQ(r, pMinus1);
        CurveDestroy(c);
    }
    EXPECT_EQ(kinds, (std::set<uint32_t>{1, 2, 4, 5}));
    EcCurve* small = CurveCreate("1.2.840.10045.3.1.1", CurveForm::kWeierstrass);
    ASSERT_NE(small, nullptr);
    Num big(4, ~Digit{0}), zero(4, 0), r(4);
    EXPECT_FALSE(FieldAdd(*small, r.data(), big.data(), zero.data()));
    EXPECT_FALSE(FieldSub(*small, r.data(), zero.data(), big.data()));
    CurveDestroy(small);
    EXPECT_EQ(ScratchFree(), scratch);
}

// Every row in its own form: q G is neutral, (q - 1) G = -G, (q + 1) G = G; an Edwards base point
// is its Weierstrass twin's; points altered after or before conversion, or with Z = 0, are
// refused.
TEST(Curve, EveryRow) {
    const size_t scratch = ScratchFree();
    for (const CurveRow& row : kCurveTable) {
        const int mode = row.form == 0 ? 0 : 2;
        SCOPED_TRACE(std::string(row.oid) + " mode " + std::to_string(mode));
        EcCurve* c = CurveCreate(row.oid, static_cast<CurveForm>(mode));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->form, mode == 0 ? kFormWeierstrass : kFormEdwardsInverted);
        const size_t n = c->digits, w = c->width;
        const Num q(c->qCopy, c->qCopy + n);
        Num qMinus1 = q, qPlus1 = q, y(n), negY(n);
        MpDec(qMinus1.data(), n);
        MpInc(qPlus1.data(), n);
        EXPECT_EQ(Multiply(c, {Le(q)}), "neutral");
        const std::string g = Multiply(c, {Le(Small(n, 1))});
        ASSERT_EQ(g.size(), 4 * w);
        std::memcpy(y.data(), test::FromHex(g.substr(2 * w)).data(), w);
        FieldSub(*c, negY.data(), c->pCopy, y.data());
        EXPECT_EQ(Multiply(c, {Le(qMinus1)}), g.substr(0, 2 * w) + ToHex(Le(negY), w));
        if (MpCmp(qPlus1.data(), q.data(), n) > 0) {
            EXPECT_EQ(Multiply(c, {Le(qPlus1)}), g);
        }
        if (mode == 2) {
            EcCurve* twin = CurveCreate(row.oid, CurveForm::kWeierstrass);
            ASSERT_NE(twin, nullptr);
            EXPECT_EQ(g, ToHex(twin->basePoint->x, 2 * w));
            CurveDestroy(twin);
        }
        EcPoint* pt = NewBase(c);
        EXPECT_TRUE(PointToAffine(c, pt));
        EXPECT_TRUE(PointIsOnCurve(c, pt));
        pt->y[0] ^= 1;
        EXPECT_FALSE(PointIsOnCurve(c, pt));
        EXPECT_FALSE(PointToAffine(c, pt));
        PointDestroy(pt);
        pt = NewBase(c);
        pt->x[3] ^= 0x10;
        EXPECT_FALSE(PointToAffine(c, pt));
        std::memset(pt->z, 0, w);
        EXPECT_FALSE(PointToAffine(c, pt));
        PointDestroy(pt);
        CurveDestroy(c);
    }
    CurveDestroy(nullptr);
    EXPECT_EQ(ScratchFree(), scratch);
}

TEST(Curve, LookupsByOidTextAndArcs) {
    for (const auto& v : test::LoadVectors(
             "ec/curves.vec",
             {"Oid", "EdwardsKind", "KeyLength", "Accepted", "Arcs", "Canonical", "Mode"})) {
        const char* oid = v.Has("Oid") ? v.Get("Oid").c_str() : nullptr;
        if (v.section == "Refused") {
            EXPECT_EQ(CurveCreate(oid, static_cast<CurveForm>(std::stoi(v.Get("Mode")))), nullptr)
                << v.Get("Mode");
            continue;
        }
        if (v.section == "Arcs") {
            std::vector<uint32_t> arcs;
            std::istringstream in(v.Get("Arcs"));
            for (std::string arc; std::getline(in, arc, '.');) {
                arcs.push_back(static_cast<uint32_t>(std::stoul(arc)));
            }
            const char* canonical = ParamSetCanonicalOid(arcs.data(), arcs.size());
            EXPECT_EQ(canonical ? canonical : "", v.Get("Canonical")) << v.Get("Arcs");
            EXPECT_EQ(ParamSetCanonicalOid(arcs.data(), 0), nullptr);
            continue;
        }
        const size_t length = std::stoul(v.Get("KeyLength"));
        EXPECT_EQ(CurveEdwardsKind(oid), std::stoi(v.Get("EdwardsKind"))) << oid;
        EXPECT_EQ(CurveKeyLength(oid), length) << oid;
        EXPECT_EQ(CurveOrderByOid(oid) != nullptr, length != 0) << oid;
        const char* canonical = ParamSetCanonicalOidText(oid);
        EXPECT_EQ(canonical ? canonical : "", v.Get("Accepted") == "1" ? v.Get("Oid") : "") << oid;
    }
    // The canonical text is the table's own.
    for (const char* oid : kAcceptedParamSets) EXPECT_EQ(ParamSetCanonicalOidText(oid), oid);
    EXPECT_EQ(CurveEdwardsKind(nullptr), -1);
    EXPECT_EQ(CurveOrderByOid(nullptr), nullptr);
    EXPECT_EQ(CurveKeyLength(nullptr), 0u);
}

// Key pairs generated by OpenSSL with the GOST engine: each with mask one, in its masked form
// (k, m), as k + q where that fits, re-masked by a fresh random mask, and for the Edwards sets on
// their Weierstrass twin; the check value is the start of x.
TEST(PublicKey, KnownAnswers) {
    ASSERT_EQ(KeyPairs().size(), 27u);
    const size_t scratch = ScratchFree();
    for (const auto& v : KeyPairs()) {
        SCOPED_TRACE(v.section + " d=" + v.Get("D"));
        const char* oid = ParamSetCanonicalOidText(v.section.c_str());
        ASSERT_NE(oid, nullptr);
        Bytes d = v.Hex("D"), k = v.Hex("K"), m = v.Hex("M"), one(d.size(), 0), r(d.size());
        const std::string want = v.Get("Public");
        one[0] = 1;
        EXPECT_EQ(PublicKey(d, one, oid), want);
        EXPECT_EQ(PublicKey(k, m, oid), want);
        if (v.Has("KPlusQ")) {
            EXPECT_EQ(PublicKey(v.Hex("KPlusQ"), m, oid), want);
        }
        if (CurveEdwardsKind(oid) == 2) {
            EcCurve* twin = CurveCreate(oid, CurveForm::kWeierstrass);
            ASSERT_NE(twin, nullptr);
            auto* words = reinterpret_cast<uint32_t*>(m.data());
            const auto* q = reinterpret_cast<const uint32_t*>(twin->qCopy);
            ASSERT_TRUE(MpModInverseWords(words, words, q, m.size() / 4));
            EXPECT_EQ(Multiply(twin, {k.data(), m.data()}), want);
            CurveDestroy(twin);
        }
        ASSERT_TRUE(ApplyMask(d.data(), d.size(), r.data(), r.size(), oid, MaskStep::kMultiply, MaskDraw::kFresh));
        EXPECT_EQ(PublicKey(d, r, oid), want);
        uint8_t check[kCheckValueSize];
        ASSERT_TRUE(PublicKeyCheckValue(check, d.data(), d.size(), r.data(), r.size(), oid,
                                        MaskStep::kDivide));
        EXPECT_EQ(ToHex(check, kCheckValueSize), v.Get("CheckValue"));
        EXPECT_EQ(ScratchFree(), scratch);
    }
}

TEST(PublicKey, FailureRules) {
    const size_t scratch = ScratchFree();
    for (const auto& v : test::LoadVectors("ec/failures.vec", {"Oid", "Key", "Mask"})) {
        SCOPED_TRACE(v.section);
        const Bytes key = v.Hex("Key"), mask = v.Hex("Mask");
        const char* oid = v.Has("Oid") ? v.Get("Oid").c_str() : nullptr;
        Bytes out(128, 0xEE), check(8, 0xEE);
        EXPECT_FALSE(PublicKeyFromPrivate(out.data(), key.data(), key.size(), mask.data(),
                                          mask.size(), oid, MaskStep::kDivide));
        EXPECT_FALSE(PublicKeyCheckValue(check.data(), key.data(), key.size(), mask.data(),
                                         mask.size(), oid, MaskStep::kDivide));
        EXPECT_EQ(out, Bytes(128, 0xEE));
        EXPECT_EQ(check, Bytes(8, 0xEE));
        EXPECT_EQ(ScratchFree(), scratch);
    }
}

// Exactly the stated scratch is enough; one byte less fails cleanly (false, output untouched,
// scratch restored). MpMod of 8 by 4 digits needs 24*(8+2) + 16*4 = 304 bytes; the public key's
// scalar multiplication 1,744, more than anything nested in or following it on set A.
TEST(Scratch, TooSmallBudgetFailsCleanly) {
    const size_t scratch = ScratchFree();
    const auto& v = KeyPairs().front();
    const Bytes k = v.Hex("K"), m = v.Hex("M");
    Num a = Random(8), mod = Random(4), r(4);
    mod[0] |= 1;
    for (size_t limit : {size_t{0x100}, size_t{303}, size_t{304}, size_t{1743}, size_t{1744}}) {
        SCOPED_TRACE(limit);
        ASSERT_TRUE(ScratchSetLimitForTesting(limit));
        EXPECT_EQ(MpMod(r.data(), a.data(), 8, mod.data(), 4), limit >= 304);
        EXPECT_EQ(ScratchFree(), limit);
        EXPECT_TRUE(limit >= 304 || !MpModInverseChecked(r.data(), a.data(), mod.data(), 4));
        EXPECT_EQ(ScratchFree(), limit);
        Bytes out(64, 0xEE);
        const bool ok = PublicKeyFromPrivate(out.data(), k.data(), 32, m.data(), 32,
                                             v.section.c_str(), MaskStep::kDivide);
        EXPECT_EQ(ok, limit == 1744);
        EXPECT_EQ(ToHex(out), ok ? v.Get("Public") : ToHex(Bytes(64, 0xEE)));
        EXPECT_EQ(ScratchFree(), limit);
    }
    ASSERT_TRUE(ScratchSetLimitForTesting(0));
    EXPECT_EQ(ScratchFree(), scratch);
}

// The reduction table's buffer as curves use it: owned, zero-filled, overwritten before release.
TEST(GuardedBuffer, OwnedBytesAreOverwrittenBeforeRelease) {
    GuardedBuffer* owned = GuardedBufferCreate(nullptr, 16, 3, true, false);
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(Bytes(owned->data, owned->data + owned->length), Bytes(16, 0));
    std::memset(owned->data, 0x5A, 16);
    static const uint8_t* released;
    static Bytes releasedBytes;
    released = owned->data;
    SetReleaseObserverForTesting([](const uint8_t* data, size_t size) {
        if (data == released) releasedBytes.assign(data, data + size);
    });
    GuardedBufferDestroy(owned);
    SetReleaseObserverForTesting(nullptr);
    EXPECT_EQ(releasedBytes, Bytes(16, 0x42));
}

#ifdef __SIZEOF_INT128__
// The two-half integer used on 32-bit targets against the compiler's unsigned __int128.
TEST(PortableU128, MatchesTheBuiltInType) {
    using Native = unsigned __int128;
    std::mt19937_64 rng(128);
    const uint64_t edges[] = {
        0, 1, 2, 0xFFFFFFFFu, 0x100000000u, 0x8000000000000000u, ~uint64_t{0}, ~uint64_t{0} - 1};
    auto pick = [&](int i) { return (i & 3) == 0 ? edges[rng() % std::size(edges)] : rng(); };
    auto same = [](PortableU128 got, Native want) {
        return got.lo == static_cast<uint64_t>(want) && got.hi == static_cast<uint64_t>(want >> 64);
    };
    for (int i = 0; i < 20000; ++i) {
        const Native a = (static_cast<Native>(pick(i)) << 64) | pick(i + 1);
        const Native b = (static_cast<Native>((i & 1) != 0 ? pick(i + 2) : 0) << 64) | pick(i + 3);
        const PortableU128 pa(static_cast<uint64_t>(a >> 64), static_cast<uint64_t>(a), 0);
        const PortableU128 pb(static_cast<uint64_t>(b >> 64), static_cast<uint64_t>(b), 0);
        const int shift = static_cast<int>(rng() % 128);
        const uint64_t d = pick(i + 4), e = pick(i + 5);
        const bool results[] = {same(pa + pb, a + b), same(pa - pb, a - b), same(pa * pb, a * b),
                                same(~pa, ~a), same(pa | pb, a | b), same(pa << shift, a << shift),
                                same(pa >> shift, a >> shift), b == 0 || same(pa / pb, a / b),
                                (pa < pb) == (a < b),
                                static_cast<uint64_t>(pa) == static_cast<uint64_t>(a),
                                // Mixed with 64-bit operands, as the digit code writes it.
                                same(PortableU128(d) * e + d, static_cast<Native>(d) * e + d)};
        for (size_t op = 0; op < std::size(results); ++op) {
            ASSERT_TRUE(results[op])
                << "operation " << op << ", round " << i << ", shift " << shift;
        }
    }
    EXPECT_TRUE(same(PortableU128(-1), static_cast<Native>(-1)));
}
#endif

}  // namespace
}  // namespace keymend

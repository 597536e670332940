// The crypto context (scratch frames and their wipe, key meshing, random source, SecureBlob) and
// key masks: products modulo q against OpenSSL's BIGNUM, failures that change and draw nothing.
#include "crypto/context/crypto_context.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <vector>

#include "crypto/ec/key_mask.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "platform/random.h"
#include "support/test_support.h"
#include "platform/seams.h"

namespace keymend {
namespace {

void Reinit(uint32_t keyMeshing) {
    CryptoContextRelease();
    ASSERT_TRUE(CryptoContextInit(keyMeshing));
}

int g_draws = 0;

// Re-initialises the context around a test so that the low-water mark starts fresh.
class FreshContext : public ::testing::Test {
  protected:
    void SetUp() override {
        g_draws = 0;
        Reinit(1);
    }
    void TearDown() override {
        ScratchSetLimitForTesting(0);
        SetRandomSourceForTesting(nullptr);
        Reinit(1);
    }
};

TEST_F(FreshContext, ScratchFramesNestRestoreAndStayInTheirRoom) {
    EXPECT_EQ(ScratchFree(), kScratchUsable);
    {
        ScratchFrame a(64);
        ASSERT_TRUE(a.ok());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data()) % 8, 0u);
        {
            ScratchFrame b(1024);
            ASSERT_TRUE(b.ok());
            EXPECT_EQ(b.data(), a.data() + 64);
            EXPECT_EQ(ScratchFree(), kScratchUsable - 1088);
        }
        EXPECT_EQ(ScratchFree(), kScratchUsable - 64);
        EXPECT_EQ(ScratchLowWater(), kScratchUsable - 1088);
        ScratchFrame rest(kScratchUsable - 64);
        ASSERT_TRUE(rest.ok());
        ScratchFrame more(8);  // beyond the room: fails without a change
        EXPECT_FALSE(more.ok());
        EXPECT_EQ(ScratchFree(), 0u);
    }
    EXPECT_EQ(ScratchFree(), kScratchUsable);
    ASSERT_TRUE(ScratchSetLimitForTesting(100));
    ScratchFrame fits(96);
    EXPECT_TRUE(fits.ok());
    ScratchFrame tooMuch(8);
    EXPECT_FALSE(tooMuch.ok());
}

size_t g_nonZero = 0;
int g_released = 0;

// Release observer: counts the released blocks and the bytes not wiped in them.
void CountReleased(const uint8_t* p, size_t n) {
    ++g_released;
    for (size_t i = 0; i < n; ++i) g_nonZero += p[i] != 0;
}

TEST_F(FreshContext, ReleaseWipesExactlyTheHighWaterMark) {
    g_nonZero = 0;
    SetReleaseObserverForTesting(CountReleased);
    for (size_t used : {0u, 8u, 200u, 4096u}) {
        Reinit(1);
        if (used != 0) {
            ScratchFrame f(used);
            ASSERT_TRUE(f.ok());
            std::memset(f.data(), 0xAB, used);
        }
        { ScratchFrame small(8); }  // a later, smaller use does not raise the mark
        CryptoContextRelease();
        EXPECT_EQ(ScratchLastWipeCount(), used == 0 ? 8u : used) << used;
        ASSERT_TRUE(CryptoContextInit(1));
    }
    SetReleaseObserverForTesting(nullptr);
    EXPECT_EQ(g_nonZero, 0u);
}

TEST_F(FreshContext, KeyMeshingSwitchAndRandomBytesFollowTheirSources) {
    EXPECT_EQ(KeyMeshingSwitch(), 1u);
    Reinit(0);
    EXPECT_EQ(KeyMeshingSwitch(), 0u);
    uint8_t a[32] = {}, b[32] = {};
    ASSERT_TRUE(RandomBytes(sizeof a, a));
    ASSERT_TRUE(RandomBytes(sizeof b, b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    SetRandomSourceForTesting([](uint8_t*, size_t) { return false; });
    EXPECT_FALSE(RandomBytes(sizeof a, a));
}

TEST(SecureBlobTest, AssignMoveResetAndWipe) {
    g_nonZero = 0;
    g_released = 0;
    SetReleaseObserverForTesting(CountReleased);
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    SecureBlob a;
    EXPECT_TRUE(a.empty());
    ASSERT_TRUE(a.Assign(bytes, sizeof bytes));
    EXPECT_EQ(std::memcmp(a.data(), bytes, 5), 0);
    SecureBlob b = static_cast<SecureBlob&&>(a);
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(b.size(), 5u);
    ASSERT_TRUE(b.Assign(b.data() + 1, 3));  // overlapping self-assignment keeps the bytes
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(b.size(), 3u);
    EXPECT_FALSE(b.Assign(nullptr, 3));
    {
        SecureBlob s;
        ASSERT_TRUE(s.Allocate(64));
        std::memset(s.data(), 0x5A, 64);
    }
    b.Reset();
    EXPECT_TRUE(b.empty());
    SetReleaseObserverForTesting(nullptr);
    EXPECT_EQ(g_released, 3);  // the replaced 5 bytes, the 64 bytes and the 3 bytes
    EXPECT_EQ(g_nonZero, 0u);
}

using test::Bytes;

bool FixedSource(uint8_t* buffer, size_t n) {
    ++g_draws;
    std::memset(buffer, 0x5C, n);
    return true;
}
bool FailingSource(uint8_t*, size_t) {
    ++g_draws;
    return false;
}

using KeyMask = FreshContext;

Bytes Order(const char* oid) {
    const uint8_t* q = CurveOrderByOid(oid);
    return Bytes(q, q + CurveKeyLength(oid));
}

// (a * b) mod q by OpenSSL's BIGNUM, the independent reference; b = 1 reduces a.
Bytes MulModQ(const Bytes& a, const char* oid, Bytes b = {1}) {
    const int w = static_cast<int>(a.size());
    b.resize(a.size());
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* x = BN_lebin2bn(a.data(), w, nullptr);
    BIGNUM* y = BN_lebin2bn(b.data(), w, nullptr);
    BIGNUM* q = BN_lebin2bn(CurveOrderByOid(oid), w, nullptr);
    BN_mod_mul(x, x, y, q, ctx);
    Bytes out(a.size());
    BN_bn2lebinpad(x, out.data(), w);
    BN_free(x), BN_free(y), BN_free(q), BN_CTX_free(ctx);
    return out;
}

TEST_F(KeyMask, MultiplyThenDivideGivesTheKeyReducedModQ) {
    for (const char* oid : kAcceptedParamSets) {
        SCOPED_TRACE(oid);
        const size_t w = CurveKeyLength(oid);
        const Bytes key(w, 0xFF);  // above q: comes back reduced
        Bytes mask(w);
        for (size_t i = 0; i < w; ++i) mask[i] = static_cast<uint8_t>(i * 13 + 1);
        mask[w - 1] = 0x01;
        Bytes k = key;
        ASSERT_TRUE(ApplyStoredMask(k.data(), w, mask.data(), w, oid, MaskStep::kMultiply));
        EXPECT_EQ(k, MulModQ(key, oid, mask));
        ASSERT_TRUE(ApplyStoredMask(k.data(), w, mask.data(), w, oid, MaskStep::kDivide));
        EXPECT_EQ(k, MulModQ(key, oid));
    }
}

TEST_F(KeyMask, FailuresLeaveTheKeyUnchangedAndDrawNothing) {
    const char* a256 = "1.2.643.2.2.35.1";
    const Bytes original(64, 0x21);
    const Bytes zero(64, 0);
    Bytes q = Order(a256);
    q.resize(64, 0);
    SetRandomSourceForTesting(FixedSource);
    const std::vector<std::string> keys = {"Key", "Mask", "Curve", "Value", "Invert", "Null"};
    for (const auto& r : test::LoadVectors("context/mask_failures.vec", keys)) {
        const size_t keyLength = std::stoul(r.Get("Key"));
        const size_t maskLength = r.Has("Mask") ? std::stoul(r.Get("Mask")) : keyLength;
        const char* curve = r.Has("Curve") ? r.Get("Curve").c_str() : nullptr;
        const Bytes& value = r.Get("Value") == "q" ? q : zero;
        for (bool generate : {false, true}) {
            if (generate && r.Has("Invert")) continue;  // a fresh mask would be invertible
            SCOPED_TRACE(testing::Message() << keyLength << " " << maskLength << " " << curve
                                            << (generate ? ", generating" : ""));
            Bytes key = original, mask = value;
            const std::string null = r.Has("Null") ? r.Get("Null") : "";
            EXPECT_FALSE(ApplyMask(null == "key" ? nullptr : key.data(), keyLength,
                                   null == "mask" ? nullptr : mask.data(), maskLength, curve,
                                   r.Has("Invert") ? MaskStep::kDivide : MaskStep::kMultiply,
                                   generate ? MaskDraw::kFresh : MaskDraw::kGiven));
            EXPECT_EQ(key, original);
            EXPECT_EQ(mask, value);
            EXPECT_EQ(g_draws, 0) << "drew random bytes before failing";
        }
    }
    Bytes key = original;
    Bytes mask = zero;
    // Without inversion a zero mask is accepted and zeroes the key.
    ASSERT_TRUE(ApplyMask(key.data(), 32, mask.data(), 32, a256, MaskStep::kMultiply, MaskDraw::kGiven));
    EXPECT_EQ(Bytes(key.begin(), key.begin() + 32), Bytes(32, 0));
    // A failing random source: false, key unchanged.
    SetRandomSourceForTesting(FailingSource);
    key = original;
    EXPECT_FALSE(ApplyMask(key.data(), 32, mask.data(), 32, a256, MaskStep::kMultiply, MaskDraw::kFresh));
    EXPECT_EQ(g_draws, 1);
    EXPECT_EQ(key, original);
}

TEST_F(KeyMask, ReplaceMaskRemasksAndRestoresOnFailure) {
    const char* oid = "1.2.643.7.1.2.1.2.3";
    const size_t w = 64;
    Bytes d(w, 0x3C), oldMask(w, 0x07), fresh(w, 0);
    d[w - 1] = 0x01;
    // The stored pair (k, oldMask) with d = k / oldMask.
    Bytes k = d;
    ASSERT_TRUE(ApplyStoredMask(k.data(), w, oldMask.data(), w, oid, MaskStep::kMultiply));
    SetRandomSourceForTesting(FixedSource);
    Bytes key = k;
    ASSERT_TRUE(ReplaceMask(key.data(), w, oldMask.data(), w, fresh.data(), oid, MaskDraw::kFresh));
    EXPECT_EQ(fresh, Bytes(w, 0x5C));
    // The same private key under the new mask: key / fresh = d.
    ASSERT_TRUE(ApplyStoredMask(key.data(), w, fresh.data(), w, oid, MaskStep::kDivide));
    EXPECT_EQ(key, MulModQ(d, oid));

    // The second step fails (old mask not invertible): the key keeps its value from before.
    const Bytes q = Order(oid);
    key = k;
    EXPECT_FALSE(ReplaceMask(key.data(), w, q.data(), w, fresh.data(), oid, MaskDraw::kFresh));
    EXPECT_EQ(key, k);
    // The first step fails: nothing changes either.
    SetRandomSourceForTesting(FailingSource);
    EXPECT_FALSE(
        ReplaceMask(key.data(), w, oldMask.data(), w, fresh.data(), oid, MaskDraw::kFresh));
    EXPECT_EQ(key, k);
}

}  // namespace
}  // namespace keymend

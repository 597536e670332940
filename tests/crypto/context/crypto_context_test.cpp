// The crypto context: scratch frames and their wipe on release, the key-meshing switch, the
// random source, and SecureBlob.
#include "crypto/context/crypto_context.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/context/secure_blob.h"
#include "platform/random.h"

namespace keymend {
namespace {

void Reinit(uint32_t keyMeshing) {
    CryptoContextRelease();
    ASSERT_TRUE(CryptoContextInit(keyMeshing));
}

// Re-initialises the context around a test so that the low-water mark starts fresh.
class FreshContext : public ::testing::Test {
  protected:
    void SetUp() override { Reinit(1); }
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

TEST_F(FreshContext, ReleaseWipesExactlyTheHighWaterMark) {
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

int g_released = 0;
int g_nonZero = 0;

TEST(SecureBlobTest, AssignMoveResetAndWipe) {
    SetReleaseObserverForTesting([](const uint8_t* p, size_t n) {
        ++g_released;
        for (size_t i = 0; i < n; ++i) g_nonZero += p[i] != 0;
    });
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
    EXPECT_EQ(g_nonZero, 0);
}

}  // namespace
}  // namespace keymend

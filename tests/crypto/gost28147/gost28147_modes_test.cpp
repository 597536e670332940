// Contract tests of the GOST 28147-89 modes: argument checks, continuation across calls, key
// meshing points, MAC finalisation rules.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/context/crypto_context.h"
#include "crypto/gost28147/gost28147.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;

constexpr const char* kSetA = "1.2.643.2.2.31.1";
constexpr const char* kSetZ = "1.2.643.7.1.2.5.1.1";

Bytes RandomData(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Restores the key-meshing switch of the test environment when a test changed it.
struct MeshingSwitch {
    explicit MeshingSwitch(uint32_t value) { EXPECT_TRUE(CryptoContextInit(value)); }
    ~MeshingSwitch() { EXPECT_TRUE(CryptoContextInit(1)); }
};

TEST(Gost28147Modes, RefusedArgumentsLeaveDataUnchanged) {
    const Bytes key = RandomData(32, 1), iv = RandomData(8, 2), original = RandomData(16, 3);
    Bytes data = original;
    uint8_t mac[4] = {1, 2, 3, 4};
    struct Case {
        const char* what;
        bool ok;
    } cases[] = {
        {"ECB length 0", Gost28147Crypt(data.data(), 0, false, kGost28147Ecb, key.data(), 32, kSetA,
                                        nullptr)},
        {"ECB length 12", Gost28147Crypt(data.data(), 12, false, kGost28147Ecb, key.data(), 32,
                                         kSetA, nullptr)},
        {"CFB without IV", Gost28147Crypt(data.data(), 16, false, kGost28147Cfb, key.data(), 32,
                                          kSetA, nullptr)},
        {"mode selector 3", Gost28147Crypt(data.data(), 16, false, 3, key.data(), 32, kSetA,
                                           iv.data())},
        {"key of 31 bytes", Gost28147Crypt(data.data(), 16, false, kGost28147Cfb, key.data(), 31,
                                           kSetA, iv.data())},
        {"null key", Gost28147Crypt(data.data(), 16, false, kGost28147Cfb, nullptr, 32, kSetA,
                                    iv.data())},
        {"null data", Gost28147Crypt(nullptr, 16, false, kGost28147Cfb, key.data(), 32, kSetA,
                                     iv.data())},
        {"MAC null IV", Gost28147Mac(data.data(), 16, mac, key.data(), 32, kSetA, nullptr)},
        {"MAC null output", Gost28147Mac(data.data(), 16, nullptr, key.data(), 32, kSetA,
                                         iv.data())},
        {"MAC null data", Gost28147Mac(nullptr, 0, mac, key.data(), 32, kSetA, iv.data())},
        {"MAC key of 33 bytes", Gost28147Mac(data.data(), 16, mac, key.data(), 33, kSetA,
                                             iv.data())},
    };
    for (const auto& c : cases) EXPECT_EQ(c.ok, std::strcmp(c.what, "ECB length 0") == 0) << c.what;
    EXPECT_EQ(data, original);
    EXPECT_EQ(mac[0], 1);
    EXPECT_EQ(GlobalCryptoContext().allocator.lastError, kStatusBadData);
}

// Feeding one key object in pieces gives the same result as one call, for every split point
// pattern, in both directions, across meshing points (including a piece ending exactly on one).
TEST(Gost28147Modes, CfbAndMacContinueAcrossCalls) {
    const Bytes key = RandomData(32, 4), iv = RandomData(8, 5), plain = RandomData(2100, 6);
    int index = ParamSetIndex(kSetZ);
    auto run = [&](int mode, const Bytes& in, const std::vector<size_t>& pieces) {
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, index, iv.data()));
        Bytes out = in;
        size_t done = 0;
        for (size_t piece : pieces) {
            EXPECT_TRUE(Gost28147Process(*object, mode, out.data() + done, piece, true));
            done += piece;
        }
        EXPECT_TRUE(Gost28147Process(*object, mode, out.data() + done, out.size() - done, true));
        return out;
    };
    const Bytes ct = run(kModeCfbEncrypt, plain, {});
    for (size_t first = 0; first <= 24; ++first) {
        for (const auto& tail : std::vector<std::vector<size_t>>{
                 {}, {1}, {3, 5}, {7, 1000 - first}, {1024 - first}, {1030 - first, 1018}}) {
            std::vector<size_t> pieces = {first};
            pieces.insert(pieces.end(), tail.begin(), tail.end());
            ASSERT_EQ(run(kModeCfbEncrypt, plain, pieces), ct) << first << "+" << tail.size();
            ASSERT_EQ(run(kModeCfbDecrypt, ct, pieces), plain) << first << "+" << tail.size();
        }
    }
    uint8_t whole[4], pieces[4];
    ASSERT_TRUE(Gost28147Mac(plain.data(), plain.size(), whole, key.data(), 32, kSetZ, iv.data()));
    for (size_t split : {1, 5, 8, 9, 1023, 1024, 1031, 2099}) {
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, index, iv.data()));
        for (size_t done = 0; done < plain.size(); done += split)
            ASSERT_TRUE(Gost28147MacUpdate(*object, plain.data() + done,
                                           std::min(split, plain.size() - done)));
        Gost28147MacFinal(*object, pieces);
        Gost28147MacFinal(*object, pieces);  // finalisation leaves the object as it was
        EXPECT_EQ(0, std::memcmp(whole, pieces, 4)) << split;
    }
}

// The key after processing n bytes, against meshings computed independently from the constant.
TEST(Gost28147Modes, MeshingCounts) {
    const Bytes key = RandomData(32, 7), iv = RandomData(8, 8);
    const Bytes constant = test::FromHex(
        "6900722264c904238d3adb9646e92ac418feac9400ed0712c086dcc2ef4ca92b");
    Bytes keys[4] = {key};
    for (int m = 1; m < 4; ++m) {  // the key after m meshings
        keys[m] = constant;
        ASSERT_TRUE(Gost28147Crypt(keys[m].data(), 32, true, kGost28147Ecb, keys[m - 1].data(), 32,
                                   kSetA, nullptr));
    }
    struct Case {
        size_t length;
        int mode;
        int meshings;
    } cases[] = {{1024, kModeCfbEncrypt, 1}, {1023, kModeCfbDecrypt, 0},
                 {1025, kModeCfbEncrypt, 1}, {2047, kModeCfbDecrypt, 1},
                 {2048, kModeCfbEncrypt, 2}, {3072, kModeEcbEncrypt, 3},
                 {1016, kModeEcbDecrypt, 0}};
    for (const auto& c : cases) {
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(kSetA), iv.data()));
        Bytes data = RandomData(c.length, 9);
        ASSERT_TRUE(Gost28147Process(*object, c.mode, data.data(), data.size(), true));
        Gost28147KeyRecord expected;
        Gost28147LoadKey(keys[c.meshings].data(), expected);
        EXPECT_EQ(0, std::memcmp(expected.words, object->key->words, 32)) << c.length;
        EXPECT_EQ(object->processed, c.length);
    }
}

TEST(Gost28147Modes, MeshingSwitchAffectsOnlyLongCfb) {
    const Bytes key = RandomData(32, 10), iv = RandomData(8, 11), plain = RandomData(1500, 12);
    auto crypt = [&](size_t n, bool decrypt, int mode) {
        Bytes data(plain.begin(), plain.begin() + static_cast<long>(n));
        EXPECT_TRUE(Gost28147Crypt(data.data(), n, decrypt, mode, key.data(), 32, kSetZ,
                                   iv.data()));
        return data;
    };
    auto mac = [&](size_t n) {
        uint8_t m[4];
        EXPECT_TRUE(Gost28147Mac(plain.data(), n, m, key.data(), 32, kSetZ, iv.data()));
        return Bytes(m, m + 4);
    };
    Bytes onShort = crypt(1024, true, kGost28147Cfb), onLong = crypt(1500, true, kGost28147Cfb);
    Bytes onEcb = crypt(1496, false, kGost28147Ecb), onMac = mac(1500);
    {
        MeshingSwitch off(0);
        EXPECT_EQ(crypt(1024, true, kGost28147Cfb), onShort);
        Bytes offLong = crypt(1500, true, kGost28147Cfb);
        EXPECT_TRUE(std::equal(onLong.begin(), onLong.begin() + 1024, offLong.begin()));
        EXPECT_NE(Bytes(onLong.begin() + 1024, onLong.end()),
                  Bytes(offLong.begin() + 1024, offLong.end()));
        Bytes offEcb = crypt(1496, false, kGost28147Ecb);
        EXPECT_TRUE(std::equal(onEcb.begin(), onEcb.begin() + 1024, offEcb.begin()));
        EXPECT_NE(onEcb, offEcb);
        EXPECT_EQ(mac(1500), onMac);  // the MAC never meshes
    }
    EXPECT_EQ(KeyMeshingSwitch(), 1u);
}

TEST(Gost28147Modes, MacFinalisationRules) {
    const Bytes key = RandomData(32, 13), data = RandomData(40, 14);
    const uint8_t zeroIv[8] = {};
    auto mac = [&](const Bytes& m) {
        uint8_t out[4];
        EXPECT_TRUE(Gost28147Mac(m.empty() ? zeroIv : m.data(), m.size(), out, key.data(), 32,
                                 kSetA, zeroIv));
        return Bytes(out, out + 4);
    };
    EXPECT_EQ(mac({}), Bytes(4, 0));
    // Up to one block: zero-padded and extended by a zero block, so equal to 16 bytes.
    for (size_t n : {1, 4, 7, 8}) {
        Bytes m(data.begin(), data.begin() + static_cast<long>(n)), padded = m;
        padded.resize(16, 0);
        EXPECT_EQ(mac(m), mac(padded)) << n;
        if (n < 8) {
            padded.resize(8);
            EXPECT_EQ(mac(m), mac(padded)) << n;
        }
    }
    // Longer: zero-padded to a multiple of 8 only.
    for (size_t n : {9, 15, 17, 33}) {
        Bytes m(data.begin(), data.begin() + static_cast<long>(n)), padded = m;
        padded.resize((n + 7) / 8 * 8, 0);
        EXPECT_EQ(mac(m), mac(padded)) << n;
    }
    // The MAC is the chaining of the 16-round step over the blocks.
    Gost28147KeyRecord record;
    Gost28147LoadKey(key.data(), record);
    const uint32_t* table = ExpandedParamSet(ParamSetIndex(kSetA));
    uint8_t value[8] = {};
    for (size_t b = 0; b < 40; b += 8) {
        for (size_t i = 0; i < 8; ++i) value[i] ^= data[b + i];
        Gost28147MacStep(table, record, value);
    }
    EXPECT_EQ(mac(data), Bytes(value, value + 4));
}

}  // namespace
}  // namespace keymend

// Contract tests of the GOST 28147-89 modes: argument checks, continuation across calls, key
// meshing points and switch, MAC finalisation rules.
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

TEST(Gost28147Modes, RefusedArgumentsLeaveDataUnchanged) {
    const Bytes key = RandomData(32, 1), iv = RandomData(8, 2), original = RandomData(16, 3);
    Bytes data = original;
    uint8_t* d = data.data();
    const uint8_t *k = key.data(), *i = iv.data();
    uint8_t mac[4] = {1, 2, 3, 4};
    EXPECT_TRUE(Gost28147Crypt(d, 0, false, kGost28147Ecb, k, 32, kSetA, nullptr));
    const bool refused[] = {
        Gost28147Crypt(d, 12, false, kGost28147Ecb, k, 32, kSetA, nullptr),
        Gost28147Crypt(d, 16, false, kGost28147Cfb, k, 32, kSetA, nullptr),  // CFB without IV
        Gost28147Crypt(d, 16, false, 3, k, 32, kSetA, i),                    // unknown mode
        Gost28147Crypt(d, 16, false, kGost28147Cfb, k, 31, kSetA, i),
        Gost28147Crypt(d, 16, false, kGost28147Cfb, nullptr, 32, kSetA, i),
        Gost28147Crypt(nullptr, 16, false, kGost28147Cfb, k, 32, kSetA, i),
        Gost28147Crypt(d, 16, false, kGost28147Cfb, k, 32, "1.2.643.2.2.31.0", i),
        Gost28147Mac(d, 16, mac, k, 32, kSetA, nullptr),
        Gost28147Mac(d, 16, nullptr, k, 32, kSetA, i),
        Gost28147Mac(nullptr, 0, mac, k, 32, kSetA, i),
        Gost28147Mac(d, 16, mac, k, 33, kSetA, i),
        Gost28147Mac(d, 16, mac, k, 32, "", i),
    };
    for (size_t n = 0; n < std::size(refused); ++n) EXPECT_FALSE(refused[n]) << "case " << n;
    EXPECT_EQ(data, original);
    EXPECT_EQ(mac[0], 1);
    EXPECT_EQ(GlobalCryptoContext().allocator.lastError, kStatusBadData);
}

// One key object fed in pieces gives the result of one call, in both directions and across
// meshing points (including pieces that end exactly on one).
TEST(Gost28147Modes, CfbAndMacContinueAcrossCalls) {
    const Bytes key = RandomData(32, 4), iv = RandomData(8, 5), plain = RandomData(2100, 6);
    auto run = [&](int mode, Bytes data, const std::vector<size_t>& pieces) {
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(kSetZ), iv.data()));
        size_t done = 0;
        for (size_t piece : pieces) {
            EXPECT_TRUE(Gost28147Process(*object, mode, data.data() + done, piece, true));
            done += piece;
        }
        EXPECT_TRUE(Gost28147Process(*object, mode, data.data() + done, data.size() - done, true));
        return data;
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
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(kSetZ), iv.data()));
        for (size_t done = 0; done < plain.size(); done += split)
            ASSERT_TRUE(Gost28147MacUpdate(*object, plain.data() + done,
                                           std::min(split, plain.size() - done)));
        Gost28147MacFinal(*object, pieces);
        Gost28147MacFinal(*object, pieces);  // finalisation leaves the object as it was
        EXPECT_EQ(0, std::memcmp(whole, pieces, 4)) << split;
    }
}

// The key after n bytes against meshings computed from the RFC 4357 section 2.3.1 constant.
TEST(Gost28147Modes, MeshingCounts) {
    const Bytes key = RandomData(32, 7), iv = RandomData(8, 8);
    Bytes keys[4] = {key};
    for (int m = 1; m < 4; ++m) {  // the key after m meshings
        keys[m] = test::FromHex("6900722264c904238d3adb9646e92ac418feac9400ed0712c086dcc2ef4ca92b");
        ASSERT_TRUE(Gost28147Crypt(keys[m].data(), 32, true, kGost28147Ecb, keys[m - 1].data(), 32,
                                   kSetA, nullptr));
    }
    struct {
        size_t length;
        int mode, meshings;
    } cases[] = {{1023, kModeCfbDecrypt, 0}, {1024, kModeCfbEncrypt, 1}, {1025, kModeCfbEncrypt, 1},
                 {2047, kModeCfbDecrypt, 1}, {2048, kModeCfbEncrypt, 2}, {3072, kModeEcbEncrypt, 3},
                 {1016, kModeEcbDecrypt, 0}};
    for (const auto& c : cases) {
        Gost28147KeyPtr object(Gost28147CreateKey(key.data(), 32, ParamSetIndex(kSetA), iv.data()));
        Bytes data = RandomData(c.length, 9);
        ASSERT_TRUE(Gost28147Process(*object, c.mode, data.data(), data.size(), true));
        Gost28147KeyRecord expected;
        Gost28147LoadKey(keys[c.meshings].data(), expected);
        EXPECT_EQ(0, std::memcmp(expected.words, object->key->words, 32)) << c.length;
    }
}

// -noKVKM (switch 0): equal up to 1,024 bytes, different after; the MAC never meshes.
TEST(Gost28147Modes, MeshingSwitch) {
    const Bytes key = RandomData(32, 10), iv = RandomData(8, 11), plain = RandomData(1496, 12);
    auto results = [&] {
        std::vector<Bytes> out;
        for (int mode : {kGost28147Cfb, kGost28147Ecb}) {
            Bytes data = plain;
            EXPECT_TRUE(Gost28147Crypt(data.data(), data.size(), mode == kGost28147Cfb, mode,
                                       key.data(), 32, kSetZ, iv.data()));
            out.push_back(data);
        }
        uint8_t mac[4];
        EXPECT_TRUE(Gost28147Mac(plain.data(), plain.size(), mac, key.data(), 32, kSetZ, iv.data()));
        out.emplace_back(mac, mac + 4);
        return out;
    };
    std::vector<Bytes> on = results();
    ASSERT_TRUE(CryptoContextInit(0));
    std::vector<Bytes> off = results();
    ASSERT_TRUE(CryptoContextInit(1));
    for (size_t m = 0; m < 2; ++m) {
        EXPECT_TRUE(std::equal(on[m].begin(), on[m].begin() + 1024, off[m].begin())) << m;
        EXPECT_FALSE(std::equal(on[m].begin() + 1024, on[m].end(), off[m].begin() + 1024)) << m;
    }
    EXPECT_EQ(on[2], off[2]);
}

TEST(Gost28147Modes, MacFinalisationRules) {
    const Bytes key = RandomData(32, 13), data = RandomData(24, 14);
    const uint8_t zeroIv[8] = {};
    auto mac = [&](size_t n, size_t zeros) {
        Bytes m(data.begin(), data.begin() + static_cast<long>(n));
        m.resize(n + zeros, 0);
        uint8_t out[4];
        EXPECT_TRUE(Gost28147Mac(m.empty() ? zeroIv : m.data(), m.size(), out, key.data(), 32,
                                 kSetA, zeroIv));
        return Bytes(out, out + 4);
    };
    EXPECT_EQ(mac(0, 0), Bytes(4, 0));
    for (size_t n : {1, 4, 7}) {  // padded to a block, then extended by a zero block
        EXPECT_EQ(mac(n, 0), mac(n, 8 - n)) << n;
        EXPECT_EQ(mac(n, 0), mac(n, 16 - n)) << n;
    }
    EXPECT_EQ(mac(8, 0), mac(8, 8));  // one block: extended by a zero block
    EXPECT_NE(mac(16, 0), mac(16, 8));
    EXPECT_EQ(mac(13, 0), mac(13, 3));  // longer: padded only
    EXPECT_NE(mac(13, 0), mac(13, 11));
}

}  // namespace
}  // namespace keymend

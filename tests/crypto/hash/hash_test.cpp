// Hashes, HMAC and PBKDF2: known answers (every hash vector also through the streaming contract),
// identifier and argument rules, and OpenSSL's digests and HMACs of random inputs, each through
// the vector GOST R 34.11-2012 compression where the processor has one and the portable one.
#include "crypto/hash/hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <ostream>
#include <random>
#include <string>

#include "crypto/context/cpu_features.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::CheckStreaming;
using test::LoadVectors;
using test::ToHex;

uint32_t Hex32(const test::VectorRecord& v, const char* key) {
    return static_cast<uint32_t>(std::stoul(v.Get(key), nullptr, 16));
}

// The GOST R 34.11-2012 compression a test runs through: the one this processor selects, unless
// that is the portable one, or the portable one forced by a feature limit.
enum class Path { kSelected, kPortable };

void PrintTo(Path path, std::ostream* os) {
    *os << (path == Path::kSelected ? "selected" : "portable");
}

bool VectorPathHere() {
    LimitCpuFeatures(~0u);
    return std::string(StreebogImplementation()) != "portable";
}

std::string NoVectorPath() {
    return "no vector GOST R 34.11-2012 compression in this build for this processor (features: " +
           CpuFeatureNames(CpuFeatures()) + "): only the portable one is tested";
}

class StreebogPath : public testing::TestWithParam<Path> {
  protected:
    void SetUp() override {
        if (GetParam() == Path::kSelected) {
            if (!VectorPathHere()) GTEST_SKIP() << NoVectorPath();
        } else {
            LimitCpuFeatures(0);
            ASSERT_STREQ(StreebogImplementation(), "portable");
        }
    }
    void TearDown() override { LimitCpuFeatures(~0u); }
};

INSTANTIATE_TEST_SUITE_P(Hash, StreebogPath, testing::Values(Path::kSelected, Path::kPortable),
                         [](const testing::TestParamInfo<Path>& param) {
                             return param.param == Path::kSelected ? "Vector" : "Portable";
                         });

TEST(HashVectors, GostR341194) {
    const uint8_t zero[32] = {};
    const Bytes ones(32, 1);
    for (const auto& v : LoadVectors("hash/gostr341194.vec", {"Msg", "Repeat", "Hash"})) {
        SCOPED_TRACE(v.Get("Msg").substr(0, 40) + " x" + (v.Has("Repeat") ? v.Get("Repeat") : "1"));
        const Bytes msg = test::RepeatedMessage(v), want = v.Hex("Hash");
        // No start vector means the zero one; any other start gives another hash.
        for (const uint8_t* start : {static_cast<const uint8_t*>(nullptr), zero, ones.data()}) {
            Bytes out(32);
            EXPECT_TRUE(GostR341194Hash(msg.data(), msg.size(), out.data(), start));
            EXPECT_EQ(out == want, start != ones.data()) << ToHex(out);
        }
        Bytes out(32);
        EXPECT_TRUE(HashById(msg.data(), msg.size(), out.data(), 32, kAlgGostR341194));
        EXPECT_EQ(ToHex(out), ToHex(want));
        CheckStreaming<GostR341194State>([](auto& s) { GostR341194Reset(s); }, GostR341194Update,
                                         GostR341194Finish, msg, want);
    }
}

TEST_P(StreebogPath, Vectors) {
    // The HMAC and the alternative identifiers start the same hashes.
    const uint32_t ids[2][3] = {{kAlgStreebog256, kAlgHmacStreebog256, kAlgStreebog256Alt},
                                {kAlgStreebog512, kAlgHmacStreebog512, kAlgStreebog512Alt}};
    for (const auto& v :
         LoadVectors("hash/streebog.vec", {"Msg", "Repeat", "Hash256", "Hash512"})) {
        SCOPED_TRACE(v.Get("Msg").substr(0, 40));
        const Bytes msg = test::RepeatedMessage(v);
        for (int wide = 0; wide < 2; ++wide) {
            const uint32_t id = ids[wide][0];
            const Bytes want = v.Hex(wide ? "Hash512" : "Hash256");
            Bytes out(want.size());
            for (uint32_t alias : ids[wide]) {
                if (msg.size() > 4096 && alias != id) continue;
                ASSERT_TRUE(StreebogHash(alias, msg.data(), msg.size(), out.data())) << alias;
                EXPECT_EQ(ToHex(out), ToHex(want)) << std::hex << alias;
            }
            ASSERT_TRUE(HashById(msg.data(), msg.size(), out.data(), out.size(), id));
            EXPECT_EQ(ToHex(out), ToHex(want));
            CheckStreaming<StreebogState>([id](auto& s) { ASSERT_TRUE(StreebogInit(s, id)); },
                                          StreebogUpdate, StreebogFinish, msg, want);
        }
    }
}

TEST_P(StreebogPath, HmacAndPbkdf2KnownAnswers) {
    const uint8_t none = 0;  // a valid pointer for empty keys and passwords
    for (const auto& v : LoadVectors("hash/hmac.vec", {"Alg", "Key", "Data", "Mac"})) {
        SCOPED_TRACE(v.Get("Alg") + " key " + v.Get("Key"));
        const Bytes key = v.Hex("Key"), data = v.Hex("Data"), want = v.Hex("Mac");
        Bytes out(want.size());
        EXPECT_TRUE(HmacById(data.data(), data.size(), out.data(), out.size(),
                             key.empty() ? &none : key.data(), key.size(), Hex32(v, "Alg")));
        EXPECT_EQ(ToHex(out), ToHex(want));
    }
    for (const auto& v :
         LoadVectors("hash/pbkdf2.vec", {"Prf", "Password", "Salt", "Iterations", "Index", "T"})) {
        SCOPED_TRACE("prf " + v.Get("Prf") + ", " + v.Get("Iterations") + " iterations, block " +
                     v.Get("Index") + ", password " + v.Get("Password"));
        const Bytes password = v.Hex("Password"), salt = v.Hex("Salt"), t = v.Hex("T");
        const uint32_t prf = static_cast<uint32_t>(std::stoul(v.Get("Prf")));
        const uint64_t iterations = std::stoull(v.Get("Iterations"));
        const uint32_t index = static_cast<uint32_t>(std::stoul(v.Get("Index")));
        uint8_t out[32];
        ASSERT_TRUE(Pbkdf2Block(out, 32, prf, password.empty() ? &none : password.data(),
                                password.size(), salt.data(), salt.size(), iterations, index));
        EXPECT_EQ(ToHex(out, 32), ToHex(t.data(), 32));
        // The NUL-terminated form, where the password has no NUL (short runs only).
        const std::string text(password.begin(), password.end());
        if (iterations > 2 || text.find('\0') != std::string::npos) continue;
        ASSERT_TRUE(
            Pbkdf2Block(out, 32, prf, text.c_str(), salt.data(), salt.size(), iterations, index));
        EXPECT_EQ(ToHex(out, 32), ToHex(t.data(), 32));
    }
}

TEST(HashRules, IdentifiersLengthsAndArguments) {
    const uint8_t msg[10] = {7}, key[20] = {5}, salt[4] = {'s', 'a', 'l', 't'};
    uint8_t out[64];
    for (const auto& v : LoadVectors("hash/sizes.vec", {"Id", "Accepts"})) {
        const uint32_t id = Hex32(v, "Id");
        for (size_t size : {20, 32, 64}) {
            const bool ok = v.section == "Hash" ? HashById(msg, 3, out, size, id)
                                                : HmacById(msg, 10, out, size, key, 20, id);
            EXPECT_EQ(ok, v.Get("Accepts") == std::to_string(size))
                << v.section << " " << v.Get("Id") << " into " << size;
        }
    }
    EXPECT_FALSE(HashById(nullptr, 3, out, 32, kAlgGostR341194));
    EXPECT_TRUE(HashById(nullptr, 0, out, 32, kAlgGostR341194));
    StreebogState state;
    EXPECT_FALSE(StreebogInit(state, kAlgGostR341194));
    EXPECT_FALSE(StreebogUpdate(state, msg, 3));  // a failed start leaves the state unusable
    EXPECT_FALSE(StreebogFinish(state, out));
    EXPECT_EQ(StreebogDigestSize(0x8036), 0u);
    EXPECT_FALSE(HmacById(msg, 10, out, 32, nullptr, 0, kAlgHmacGostR341194));
    EXPECT_FALSE(HmacById(nullptr, 10, out, 32, key, 20, kAlgHmacGostR341194));
    const char* noText = nullptr;
    EXPECT_FALSE(Pbkdf2Block(out, 31, kPrfStreebog512, "password", salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(out, 64, kPrfStreebog512, "password", salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(nullptr, 32, kPrfStreebog512, "password", salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(out, 32, kPrfStreebog512, noText, salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(out, 32, kPrfStreebog512, "password", nullptr, 4, 3, 1));
    EXPECT_TRUE(Pbkdf2Block(out, 32, kPrfStreebog512, "", nullptr, 0, 3, 1));
}

// OpenSSL's digests and HMACs of prefixes of one random message under prefixes of one random key.
TEST_P(StreebogPath, OpenSslHashAndHmacOnRandomInputs) {
    Bytes data, key;
    for (const auto& v : LoadVectors("hash/openssl.vec", {"Data", "Key", "Hash", "Hmac", "Length",
                                                          "KeyLength", "Digest", "Mac"})) {
        if (v.section == "Source") {
            data = v.Hex("Data"), key = v.Hex("Key");
            continue;
        }
        SCOPED_TRACE(v.Get("Hmac") + " length " + v.Get("Length") + " key " + v.Get("KeyLength"));
        const size_t n = std::stoul(v.Get("Length")), keyLength = std::stoul(v.Get("KeyLength"));
        const uint32_t hash = Hex32(v, "Hash");
        Bytes out(hash == kAlgStreebog512 ? 64 : 32);
        EXPECT_TRUE(HashById(data.data(), n, out.data(), out.size(), hash));
        if (v.Has("Digest")) {
            EXPECT_EQ(ToHex(out), v.Get("Digest"));
        }
        ASSERT_TRUE(HmacById(data.data(), n, out.data(), out.size(), key.data(), keyLength,
                             Hex32(v, "Hmac")));
        EXPECT_EQ(ToHex(out), v.Get("Mac"));
    }
}

// Both paths on random messages of every length to 1,000 bytes and of random lengths from 4 to
// 24 KiB: in one call each, and streamed in random pieces with the path switched piece by piece
// (the paths share the state's format).
TEST(StreebogPaths, VectorAgreesWithPortable) {
    if (!VectorPathHere()) GTEST_SKIP() << NoVectorPath();
    struct Restore {
        ~Restore() { LimitCpuFeatures(~0u); }
    } restore;
    std::mt19937 rng(6986);
    std::vector<size_t> lengths(1001);
    std::iota(lengths.begin(), lengths.end(), size_t{0});
    for (int i = 0; i < 8; ++i) lengths.push_back(4096 + rng() % (20 * 1024 + 1));
    for (size_t n : lengths) {
        Bytes msg(n);
        std::generate(msg.begin(), msg.end(), [&rng] { return static_cast<uint8_t>(rng()); });
        for (uint32_t id : {kAlgStreebog256, kAlgStreebog512}) {
            SCOPED_TRACE(std::to_string(n) + " bytes, identifier " + std::to_string(id));
            Bytes portable(StreebogDigestSize(id)), vector(portable.size()),
                streamed(portable.size());
            LimitCpuFeatures(0);
            ASSERT_TRUE(StreebogHash(id, msg.data(), n, portable.data()));
            LimitCpuFeatures(~0u);
            ASSERT_TRUE(StreebogHash(id, msg.data(), n, vector.data()));
            StreebogState state;
            ASSERT_TRUE(StreebogInit(state, id));
            bool useVector = rng() & 1;
            for (size_t at = 0; at < n; useVector = !useVector) {
                const size_t piece = std::min<size_t>(n - at, rng() % 300);
                LimitCpuFeatures(useVector ? ~0u : 0u);
                ASSERT_TRUE(StreebogUpdate(state, msg.data() + at, piece));
                at += piece;
            }
            ASSERT_TRUE(StreebogFinish(state, streamed.data()));
            ASSERT_EQ(ToHex(vector), ToHex(portable));
            ASSERT_EQ(ToHex(streamed), ToHex(portable));
        }
    }
    // A bit count whose low word overflows on the second of five blocks (no real message gets
    // there): both paths carry into the next word alike.
    const Bytes blocks(5 * 64, 0x5A);
    StreebogState wrapped[2];
    for (int useVector = 0; useVector < 2; ++useVector) {
        ASSERT_TRUE(StreebogInit(wrapped[useVector], kAlgStreebog512));
        wrapped[useVector].n[0] = ~uint64_t{0} - 1023;
        LimitCpuFeatures(useVector ? ~0u : 0u);
        ASSERT_TRUE(StreebogUpdate(wrapped[useVector], blocks.data(), blocks.size()));
    }
    EXPECT_EQ(wrapped[0].n[1], 1u);
    EXPECT_EQ(ToHex(reinterpret_cast<const uint8_t*>(&wrapped[1]), sizeof wrapped[1]),
              ToHex(reinterpret_cast<const uint8_t*>(&wrapped[0]), sizeof wrapped[0]));
}

}  // namespace
}  // namespace keymend

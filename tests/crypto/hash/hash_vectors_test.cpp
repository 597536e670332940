// Known-answer vectors for the hashes, HMAC and PBKDF2, each hash vector also run through the
// streaming contract: split at every point, through a copy of the state, after a reset, on
// misaligned input, finish twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "crypto/hash/hash.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::FromHex;
using test::LoadVectors;
using test::ToHex;

Bytes Message(const test::VectorRecord& v) {
    Bytes unit = v.Hex("Msg");
    size_t repeat = v.Has("Repeat") ? std::stoul(v.Get("Repeat")) : 1;
    Bytes msg;
    msg.reserve(unit.size() * repeat);
    for (size_t i = 0; i < repeat; ++i) msg.insert(msg.end(), unit.begin(), unit.end());
    return msg;
}

// A streaming hash under test: start, absorb, finish into a digest.
struct Streamer {
    std::function<void(void* state)> start;
    std::function<bool(void* state, const uint8_t*, size_t)> update;
    std::function<bool(const void* state, uint8_t*)> finish;
    size_t stateSize;
    size_t digestSize;
};

// Checks the streaming contract of one message against its expected digest.
void CheckStreaming(const Streamer& s, const Bytes& msg, const Bytes& expected) {
    alignas(16) uint8_t state[512], copy[512];
    Bytes out(s.digestSize);
    // Every split point for short messages; two odd ones for the long ones.
    std::vector<size_t> splits;
    if (msg.size() <= 300) {
        for (size_t i = 0; i <= msg.size(); ++i) splits.push_back(i);
    } else {
        splits = {33, msg.size() / 2 + 1};
    }
    for (size_t cut : splits) {
        s.start(state);
        ASSERT_TRUE(s.update(state, msg.data(), cut));
        std::memcpy(copy, state, s.stateSize);
        // The copy continues independently of the original.
        ASSERT_TRUE(s.update(copy, msg.data() + cut, msg.size() - cut));
        ASSERT_TRUE(s.finish(copy, out.data()));
        ASSERT_EQ(ToHex(out), ToHex(expected)) << "split at " << cut;
        ASSERT_TRUE(s.update(state, msg.data() + cut, msg.size() - cut));
        ASSERT_TRUE(s.finish(state, out.data()));
        ASSERT_EQ(ToHex(out), ToHex(expected)) << "split at " << cut;
        // Finish leaves the state as it was.
        ASSERT_TRUE(s.finish(state, out.data()));
        ASSERT_EQ(ToHex(out), ToHex(expected)) << "second finish, split at " << cut;
    }
    // Byte by byte, on misaligned input, after a reset of a used state.
    Bytes shifted(msg.size() + 1);
    if (!msg.empty()) std::memcpy(shifted.data() + 1, msg.data(), msg.size());
    s.start(state);
    ASSERT_TRUE(s.update(state, shifted.data() + 1, msg.size()));
    s.start(state);
    if (msg.size() <= 4096) {
        for (size_t i = 0; i < msg.size(); ++i) ASSERT_TRUE(s.update(state, shifted.data() + 1 + i, 1));
    } else {
        ASSERT_TRUE(s.update(state, shifted.data() + 1, msg.size()));
    }
    ASSERT_TRUE(s.finish(state, out.data()));
    EXPECT_EQ(ToHex(out), ToHex(expected)) << "byte by byte";
}

Streamer Gost94Streamer() {
    return {[](void* st) { GostR341194Reset(*static_cast<GostR341194State*>(st)); },
            [](void* st, const uint8_t* d, size_t n) {
                return GostR341194Update(*static_cast<GostR341194State*>(st), d, n);
            },
            [](const void* st, uint8_t* out) {
                return GostR341194Finish(*static_cast<const GostR341194State*>(st), out);
            },
            sizeof(GostR341194State), 32};
}

Streamer StreebogStreamer(uint32_t id) {
    return {[id](void* st) { ASSERT_TRUE(StreebogInit(*static_cast<StreebogState*>(st), id)); },
            [](void* st, const uint8_t* d, size_t n) {
                return StreebogUpdate(*static_cast<StreebogState*>(st), d, n);
            },
            [](const void* st, uint8_t* out) {
                return StreebogFinish(*static_cast<const StreebogState*>(st), out);
            },
            sizeof(StreebogState), StreebogDigestSize(id)};
}

TEST(HashVectors, GostR341194) {
    for (const auto& v : LoadVectors("hash/gostr341194.vec", {"Msg", "Repeat", "Hash"})) {
        Bytes msg = Message(v), expected = v.Hex("Hash"), out(32);
        SCOPED_TRACE(v.Get("Msg").substr(0, 40) + " x" + (v.Has("Repeat") ? v.Get("Repeat") : "1"));
        ASSERT_TRUE(GostR341194Hash(msg.data(), msg.size(), out.data()));
        EXPECT_EQ(ToHex(out), ToHex(expected));
        ASSERT_TRUE(HashById(msg.data(), msg.size(), out.data(), 32, kAlgGostR341194));
        EXPECT_EQ(ToHex(out), ToHex(expected));
        CheckStreaming(Gost94Streamer(), msg, expected);
    }
}

TEST(HashVectors, GostR341194StartingVector) {
    // f(f(f(H0, block), L), sigma) with a non-zero H0 differs from the zero-vector hash, and a
    // zero starting vector given explicitly is the default.
    const uint8_t msg[] = {'a', 'b', 'c'};
    uint8_t zero[32] = {}, ones[32], a[32], b[32], c[32];
    std::memset(ones, 0x01, sizeof ones);
    ASSERT_TRUE(GostR341194Hash(msg, 3, a));
    ASSERT_TRUE(GostR341194Hash(msg, 3, b, zero));
    ASSERT_TRUE(GostR341194Hash(msg, 3, c, ones));
    EXPECT_EQ(ToHex(a, 32), ToHex(b, 32));
    EXPECT_NE(ToHex(a, 32), ToHex(c, 32));
}

TEST(HashVectors, Streebog) {
    const uint32_t ids256[] = {kAlgStreebog256, kAlgHmacStreebog256, kAlgStreebog256Alt};
    const uint32_t ids512[] = {kAlgStreebog512, kAlgHmacStreebog512, kAlgStreebog512Alt};
    for (const auto& v : LoadVectors("hash/streebog.vec", {"Msg", "Repeat", "Hash256", "Hash512"})) {
        Bytes msg = Message(v);
        SCOPED_TRACE(v.Get("Msg").substr(0, 40));
        for (int wide = 0; wide < 2; ++wide) {
            Bytes expected = v.Hex(wide ? "Hash512" : "Hash256"), out(expected.size());
            for (uint32_t id : wide ? ids512 : ids256) {
                if (msg.size() > 4096 && id != ids256[0] && id != ids512[0]) continue;
                ASSERT_TRUE(StreebogHash(id, msg.data(), msg.size(), out.data())) << id;
                EXPECT_EQ(ToHex(out), ToHex(expected)) << std::hex << id;
            }
            uint32_t id = wide ? kAlgStreebog512 : kAlgStreebog256;
            ASSERT_TRUE(HashById(msg.data(), msg.size(), out.data(), out.size(), id));
            EXPECT_EQ(ToHex(out), ToHex(expected));
            CheckStreaming(StreebogStreamer(id), msg, expected);
        }
    }
}

TEST(HashVectors, IdentifierAndLengthRules) {
    const uint8_t msg[3] = {1, 2, 3};
    uint8_t out[64];
    struct Case {
        uint32_t id;
        size_t outLength;
        bool ok;
    } cases[] = {
        {kAlgGostR341194, 32, true},  {kAlgGostR341194, 64, false}, {kAlgStreebog256, 32, true},
        {kAlgStreebog256, 64, false}, {kAlgStreebog512, 64, true},  {kAlgStreebog512, 32, false},
        {kAlgHmacStreebog512, 64, false},  // HMAC identifiers are not hashes here
        {kAlgStreebog512Alt, 64, false},   {0, 32, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HashById(msg, 3, out, c.outLength, c.id), c.ok) << std::hex << c.id;
    }
    EXPECT_FALSE(HashById(nullptr, 3, out, 32, kAlgGostR341194));
    EXPECT_TRUE(HashById(nullptr, 0, out, 32, kAlgGostR341194));

    StreebogState state;
    EXPECT_FALSE(StreebogInit(state, kAlgGostR341194));
    EXPECT_FALSE(StreebogUpdate(state, msg, 3));  // a failed init leaves the state unusable
    EXPECT_FALSE(StreebogFinish(state, out));
    EXPECT_EQ(StreebogDigestSize(0x8036), 0u);
}

TEST(HmacVectors, KnownAnswers) {
    for (const auto& v : LoadVectors("hash/hmac.vec", {"Alg", "Key", "Data", "Mac"})) {
        uint32_t alg = static_cast<uint32_t>(std::stoul(v.Get("Alg"), nullptr, 16));
        Bytes key = v.Hex("Key"), data = v.Hex("Data"), expected = v.Hex("Mac");
        Bytes out(expected.size());
        uint8_t keyByte = 0;  // a valid pointer for the empty key
        const uint8_t* keyPtr = key.empty() ? &keyByte : key.data();
        SCOPED_TRACE(v.Get("Alg") + " key length " + std::to_string(key.size()));
        ASSERT_TRUE(HmacById(data.data(), data.size(), out.data(), out.size(), keyPtr, key.size(), alg));
        EXPECT_EQ(ToHex(out), ToHex(expected));
    }
}

TEST(HmacVectors, IdentifierAndKeyRules) {
    const uint8_t key[200] = {5}, data[10] = {7};
    uint8_t out[64], ref[64];
    ASSERT_TRUE(HmacById(data, 10, ref, 64, key, 20, kAlgHmacStreebog512));
    // Any other identifier is computed as 0x8035, so it needs 64 output bytes.
    for (uint32_t id : {0u, 0x8009u, kAlgStreebog512, kAlgGostR341194}) {
        ASSERT_TRUE(HmacById(data, 10, out, 64, key, 20, id)) << std::hex << id;
        EXPECT_EQ(ToHex(out, 64), ToHex(ref, 64));
        EXPECT_FALSE(HmacById(data, 10, out, 20, key, 20, id));
        EXPECT_FALSE(HmacById(data, 10, out, 32, key, 20, id));
    }
    EXPECT_FALSE(HmacById(data, 10, out, 64, key, 20, kAlgHmacStreebog256));
    EXPECT_FALSE(HmacById(data, 10, out, 64, key, 20, kAlgHmacGostR341194));
    EXPECT_FALSE(HmacById(data, 10, out, 32, nullptr, 0, kAlgHmacGostR341194));
    EXPECT_FALSE(HmacById(nullptr, 10, out, 32, key, 20, kAlgHmacGostR341194));
    // A key one byte over the block is hashed down: it equals HMAC under its digest.
    struct {
        uint32_t hmac, hash;
        size_t block, digest;
    } long_keys[] = {{kAlgHmacGostR341194, kAlgGostR341194, 32, 32},
                     {kAlgHmacStreebog256, kAlgStreebog256, 64, 32},
                     {kAlgHmacStreebog512, kAlgStreebog512, 64, 64}};
    for (const auto& c : long_keys) {
        uint8_t digest[64];
        size_t macSize = c.hmac == kAlgHmacStreebog512 ? 64 : 32;
        ASSERT_TRUE(HashById(key, c.block + 1, digest, c.digest, c.hash));
        ASSERT_TRUE(HmacById(data, 10, out, macSize, key, c.block + 1, c.hmac));
        ASSERT_TRUE(HmacById(data, 10, ref, macSize, digest, c.digest, c.hmac));
        EXPECT_EQ(ToHex(out, macSize), ToHex(ref, macSize)) << std::hex << c.hmac;
        // A key of exactly the block size is used as is.
        ASSERT_TRUE(HashById(key, c.block, digest, c.digest, c.hash));
        ASSERT_TRUE(HmacById(data, 10, out, macSize, key, c.block, c.hmac));
        ASSERT_TRUE(HmacById(data, 10, ref, macSize, digest, c.digest, c.hmac));
        EXPECT_NE(ToHex(out, macSize), ToHex(ref, macSize)) << std::hex << c.hmac;
    }
}

TEST(Pbkdf2Vectors, KnownAnswers) {
    auto vectors =
        LoadVectors("hash/pbkdf2.vec", {"Prf", "Password", "Salt", "Iterations", "Index", "T"});
    for (const auto& v : vectors) {
        Bytes password = v.Hex("Password"), salt = v.Hex("Salt"), t = v.Hex("T");
        uint32_t prf = static_cast<uint32_t>(std::stoul(v.Get("Prf")));
        uint64_t iterations = std::stoull(v.Get("Iterations"));
        uint32_t index = static_cast<uint32_t>(std::stoul(v.Get("Index")));
        SCOPED_TRACE("prf " + v.Get("Prf") + ", " + v.Get("Iterations") + " iterations, block " +
                     v.Get("Index"));
        uint8_t out[32];
        uint8_t none = 0;
        ASSERT_TRUE(Pbkdf2Block(out, 32, prf, password.empty() ? &none : password.data(),
                                password.size(), salt.data(), salt.size(), iterations, index));
        EXPECT_EQ(ToHex(out, 32), ToHex(t.data(), 32));
        // The NUL-terminated form, where the password has no NUL (short runs only).
        if (iterations <= 2 && std::find(password.begin(), password.end(), 0) == password.end()) {
            std::string text(password.begin(), password.end());
            uint8_t out2[32];
            ASSERT_TRUE(
                Pbkdf2Block(out2, 32, prf, text.c_str(), salt.data(), salt.size(), iterations, index));
            EXPECT_EQ(ToHex(out2, 32), ToHex(out, 32));
        }
    }
}

TEST(Pbkdf2Vectors, SelectorIterationAndArgumentRules) {
    const uint8_t salt[4] = {'s', 'a', 'l', 't'};
    uint8_t a[32], b[32];
    // Iteration counts 0 and 1 both give U1.
    for (uint32_t prf : {kPrfGostR341194, kPrfStreebog512}) {
        ASSERT_TRUE(Pbkdf2Block(a, 32, prf, "password", salt, 4, 0, 1));
        ASSERT_TRUE(Pbkdf2Block(b, 32, prf, "password", salt, 4, 1, 1));
        EXPECT_EQ(ToHex(a, 32), ToHex(b, 32));
    }
    // Every selector other than 75 is HMAC GOST R 34.11-2012-512.
    ASSERT_TRUE(Pbkdf2Block(a, 32, kPrfStreebog512, "password", salt, 4, 3, 2));
    for (uint32_t prf : {0u, 1u, 80u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(Pbkdf2Block(b, 32, prf, "password", salt, 4, 3, 2));
        EXPECT_EQ(ToHex(a, 32), ToHex(b, 32)) << prf;
    }
    EXPECT_FALSE(Pbkdf2Block(a, 31, kPrfStreebog512, "password", salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(a, 64, kPrfStreebog512, "password", salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(nullptr, 32, kPrfStreebog512, "password", salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(a, 32, kPrfStreebog512, static_cast<const char*>(nullptr), salt, 4, 3, 1));
    EXPECT_FALSE(Pbkdf2Block(a, 32, kPrfStreebog512, "password", nullptr, 4, 3, 1));
    EXPECT_TRUE(Pbkdf2Block(a, 32, kPrfStreebog512, "", nullptr, 0, 3, 1));
}

}  // namespace
}  // namespace keymend

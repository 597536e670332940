// SHA hashes, HMAC and PBKDF2: known answers (every hash vector also through the streaming
// contract) on the portable code and the SHA extensions, argument rules, and OpenSSL's results on
// random inputs.
#include "crypto/sha/sha.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>

#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::LoadVectors;
using test::OnEachCpuPath;
using test::ToHex;

constexpr ShaAlgorithm kAll[] = {ShaAlgorithm::kSha1, ShaAlgorithm::kSha224, ShaAlgorithm::kSha256,
                                 ShaAlgorithm::kSha384, ShaAlgorithm::kSha512};

ShaAlgorithm Named(const std::string& name) {  // "Sha256" or "sha256"
    const std::string digits = name.substr(3);
    return digits == "1"     ? ShaAlgorithm::kSha1
           : digits == "224" ? ShaAlgorithm::kSha224
           : digits == "256" ? ShaAlgorithm::kSha256
           : digits == "384" ? ShaAlgorithm::kSha384
                             : ShaAlgorithm::kSha512;
}

const EVP_MD* OpenSslMd(ShaAlgorithm a) {
    const EVP_MD* mds[] = {EVP_sha1(), EVP_sha224(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
    return mds[static_cast<int>(a)];
}

TEST(ShaVectors, Hashes) {
    const auto vectors = LoadVectors("sha/sha.vec", {"Msg", "Repeat", "Digest"});
    OnEachCpuPath([&] {
        for (const auto& v : vectors) {
            SCOPED_TRACE(v.section + " " + v.Get("Msg").substr(0, 40));
            const ShaAlgorithm a = Named(v.section);
            const Bytes msg = test::RepeatedMessage(v);
            const Bytes want = v.Hex("Digest");
            Bytes out(ShaDigestSize(a));
            ASSERT_TRUE(ShaHash(a, msg.data(), msg.size(), out.data()));
            EXPECT_EQ(ToHex(out), ToHex(want));
            test::CheckStreaming<ShaState>([a](ShaState& s) { ASSERT_TRUE(ShaInit(s, a)); },
                                           ShaUpdate, ShaFinish, msg, want);
        }
    });
}

TEST(ShaVectors, HmacAndPbkdf2) {
    const auto macs = LoadVectors("sha/hmac.vec", {"Key", "Data", "Mac"});
    const auto keys =
        LoadVectors("sha/pbkdf2.vec", {"Prf", "Password", "Salt", "Iterations", "Dk"});
    OnEachCpuPath([&] {
        for (const auto& v : macs) {
            SCOPED_TRACE(v.section + " key " + v.Get("Key").substr(0, 40));
            const ShaAlgorithm a = Named(v.section);
            const Bytes key = v.Hex("Key"), data = v.Hex("Data"), want = v.Hex("Mac");
            Bytes out(ShaDigestSize(a));
            ASSERT_TRUE(ShaHmac(a, key.data(), key.size(), data.data(), data.size(), out.data()));
            EXPECT_EQ(ToHex(out.data(), want.size()), ToHex(want));
        }
        for (const auto& v : keys) {
            SCOPED_TRACE(v.Get("Prf") + " password " + v.Get("Password") + ", " +
                         v.Get("Iterations") + " iterations");
            const Bytes password = v.Hex("Password"), salt = v.Hex("Salt"), want = v.Hex("Dk");
            Bytes out(want.size());
            ASSERT_TRUE(ShaPbkdf2(Named(v.Get("Prf")), password.data(), password.size(),
                                  salt.data(), salt.size(), std::stoull(v.Get("Iterations")),
                                  out.data(), out.size()));
            EXPECT_EQ(ToHex(out), ToHex(want));
        }
    });
}

TEST(ShaRules, ArgumentsAndStates) {
    const uint8_t data[4] = {1, 2, 3, 4};
    uint8_t out[64];
    const auto unknown = static_cast<ShaAlgorithm>(5);
    EXPECT_EQ(ShaDigestSize(unknown) + ShaBlockSize(unknown), 0u);
    ShaState state;
    EXPECT_FALSE(ShaInit(state, unknown));
    EXPECT_FALSE(ShaUpdate(state, data, 4));  // a failed start leaves the state unusable
    EXPECT_FALSE(ShaFinish(state, out));
    EXPECT_FALSE(ShaHash(unknown, data, 4, out));
    EXPECT_FALSE(ShaHmac(unknown, data, 4, data, 4, out));
    EXPECT_FALSE(ShaPbkdf2(unknown, data, 4, data, 4, 1, out, 20));
    ASSERT_TRUE(ShaInit(state, ShaAlgorithm::kSha256));
    EXPECT_FALSE(ShaUpdate(state, nullptr, 1));
    EXPECT_FALSE(ShaFinish(state, nullptr));
    EXPECT_FALSE(ShaHashRepeated(ShaAlgorithm::kSha1, data, 4, 0, out));
    EXPECT_FALSE(ShaHmac(ShaAlgorithm::kSha1, nullptr, 1, data, 4, out));
    EXPECT_FALSE(ShaHmac(ShaAlgorithm::kSha1, data, 4, nullptr, 1, out));
    EXPECT_FALSE(ShaPbkdf2(ShaAlgorithm::kSha1, data, 4, data, 4, 0, out, 20));
    EXPECT_FALSE(ShaPbkdf2(ShaAlgorithm::kSha1, data, 4, data, 4, 1, out, 0));
    EXPECT_FALSE(ShaPbkdf2(ShaAlgorithm::kSha1, data, 4, nullptr, 4, 1, out, 20));
    EXPECT_FALSE(ShaPbkdf2(ShaAlgorithm::kSha1, nullptr, 4, data, 4, 1, out, 20));
    if (sizeof(size_t) > 4) {  // more than 2^32 - 1 blocks: refused before anything is written
        EXPECT_FALSE(ShaPbkdf2(ShaAlgorithm::kSha1, data, 4, data, 4, 1, out,
                               static_cast<size_t>(20 * 0xFFFFFFFFull + 1)));
    }
    // Empty inputs need no pointers, and an absent key is the empty key.
    uint8_t empty[64], absent[64];
    ASSERT_TRUE(ShaHmac(ShaAlgorithm::kSha256, data, 0, nullptr, 0, empty));
    ASSERT_TRUE(ShaHmac(ShaAlgorithm::kSha256, nullptr, 0, nullptr, 0, absent));
    EXPECT_EQ(ToHex(empty, 32), ToHex(absent, 32));
    EXPECT_TRUE(ShaPbkdf2(ShaAlgorithm::kSha512, nullptr, 0, nullptr, 0, 2, out, 64));
}

// Every length 0..kSweep of one random message (split at a third) folded into one digest on each
// side; HMACs with keys around the block size; PBKDF2 with random lengths and iteration counts;
// repeated hashing. All on both compression paths.
TEST(ShaOpenSsl, RandomInputs) {
    constexpr size_t kSweep = 600;
    std::mt19937 rng(20);
    Bytes data(kSweep + 300);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    for (ShaAlgorithm a : kAll) {
        const EVP_MD* md = OpenSslMd(a);
        const size_t size = ShaDigestSize(a), block = ShaBlockSize(a);
        ASSERT_EQ(size, static_cast<size_t>(EVP_MD_get_size(md)));
        ASSERT_EQ(block, static_cast<size_t>(EVP_MD_get_block_size(md)));
        SCOPED_TRACE(EVP_MD_get0_name(md));
        OnEachCpuPath([&] {
            Bytes ours(size), theirs(size), foldOurs(size), foldTheirs(size);
            unsigned length = 0;
            ShaState fold, state;
            EVP_MD_CTX* ctx = EVP_MD_CTX_new();
            ASSERT_TRUE(ShaInit(fold, a) && EVP_DigestInit_ex(ctx, md, nullptr) == 1);
            for (size_t n = 0; n <= kSweep; ++n) {
                ASSERT_TRUE(ShaInit(state, a) && ShaUpdate(state, data.data(), n / 3) &&
                            ShaUpdate(state, data.data() + n / 3, n - n / 3) &&
                            ShaFinish(state, ours.data()));
                ASSERT_EQ(EVP_Digest(data.data(), n, theirs.data(), &length, md, nullptr), 1);
                ShaUpdate(fold, ours.data(), size);
                EVP_DigestUpdate(ctx, theirs.data(), size);
            }
            ShaFinish(fold, foldOurs.data());
            EVP_DigestFinal_ex(ctx, foldTheirs.data(), &length);
            EVP_MD_CTX_free(ctx);
            EXPECT_EQ(ToHex(foldOurs), ToHex(foldTheirs)) << "digests of lengths 0.." << kSweep;

            for (size_t keyLength = 0; keyLength <= 2 * block + 1; ++keyLength) {
                const size_t n = rng() % 300;
                ASSERT_TRUE(ShaHmac(a, data.data() + 7, keyLength, data.data(), n, ours.data()));
                HMAC(md, data.data() + 7, static_cast<int>(keyLength), data.data(), n,
                     theirs.data(), &length);
                EXPECT_EQ(ToHex(ours), ToHex(theirs)) << "key " << keyLength << " data " << n;
            }

            for (int trial = 0; trial < 12; ++trial) {
                const size_t passwordLength = rng() % (block + 40), saltLength = rng() % 40;
                const size_t outLength = 1 + rng() % (3 * size + 5);
                const uint64_t iterations = 1 + rng() % 40;
                Bytes key(outLength), want(outLength);
                ASSERT_TRUE(ShaPbkdf2(a, data.data(), passwordLength, data.data() + 500, saltLength,
                                      iterations, key.data(), outLength));
                PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(data.data()),
                                  static_cast<int>(passwordLength), data.data() + 500,
                                  static_cast<int>(saltLength), static_cast<int>(iterations), md,
                                  static_cast<int>(outLength), want.data());
                EXPECT_EQ(ToHex(key), ToHex(want)) << "password " << passwordLength << " salt "
                                                   << saltLength << " x" << iterations;
            }

            for (uint64_t times = 1; times <= 4; ++times) {
                ASSERT_TRUE(ShaHashRepeated(a, data.data(), 77, times, ours.data()));
                EVP_Digest(data.data(), 77, theirs.data(), &length, md, nullptr);
                for (uint64_t i = 1; i < times; ++i) {
                    EVP_Digest(theirs.data(), size, theirs.data(), &length, md, nullptr);
                }
                EXPECT_EQ(ToHex(ours), ToHex(theirs)) << times << " times";
            }
        });
    }
}

}  // namespace
}  // namespace keymend

// Cross-checks of the hashes, HMAC and PBKDF2 against OpenSSL's GOST provider, in-process through
// libcrypto in a private library context. OpenSSL's GOST R 34.11-94 of the empty message differs
// from the standard value (it compresses an extra zero block); that case is left to the
// known-answer vectors.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/provider.h>

#include <random>

#include "crypto/hash/hash.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::ToHex;

// OpenSSL with the default and GOST providers in a private context; null when they do not load.
OSSL_LIB_CTX* GostLibCtx() {
    static OSSL_LIB_CTX* ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        if (c == nullptr || OSSL_PROVIDER_load(c, "default") == nullptr ||
            OSSL_PROVIDER_load(c, "gostprov") == nullptr) {
            return static_cast<OSSL_LIB_CTX*>(nullptr);
        }
        return c;
    }();
    return ctx;
}

#define REQUIRE_GOST_PROVIDER()                                                 \
    if (GostLibCtx() == nullptr) GTEST_SKIP() << "OpenSSL GOST provider missing"

const char* DigestName(uint32_t hashId) {
    return hashId == kAlgGostR341194 ? "md_gost94"
           : hashId == kAlgStreebog256 ? "md_gost12_256"
                                       : "md_gost12_512";
}

size_t DigestSize(uint32_t hashId) { return hashId == kAlgStreebog512 ? 64 : 32; }

Bytes OsslHash(uint32_t hashId, const Bytes& msg) {
    EVP_MD* md = EVP_MD_fetch(GostLibCtx(), DigestName(hashId), nullptr);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    bool ok = md != nullptr && EVP_Digest(msg.data(), msg.size(), out.data(), &len, md, nullptr);
    EVP_MD_free(md);
    EXPECT_TRUE(ok);
    out.resize(len);
    return out;
}

Bytes OsslHmac(uint32_t hashId, const Bytes& key, const Bytes& data) {
    EVP_MAC* mac = EVP_MAC_fetch(GostLibCtx(), "HMAC", nullptr);
    EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                         const_cast<char*>(DigestName(hashId)), 0),
        OSSL_PARAM_construct_end()};
    Bytes out(EVP_MAX_MD_SIZE);
    size_t len = 0;
    uint8_t none = 0;
    bool ok = ctx != nullptr &&
              EVP_MAC_init(ctx, key.empty() ? &none : key.data(), key.size(), params) &&
              EVP_MAC_update(ctx, data.data(), data.size()) &&
              EVP_MAC_final(ctx, out.data(), &len, out.size());
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    EXPECT_TRUE(ok);
    out.resize(len);
    return out;
}

// The first blocks * hLen bytes of PBKDF2.
Bytes OsslPbkdf2(uint32_t hashId, const Bytes& password, const Bytes& salt, uint64_t iterations,
                 size_t length) {
    EVP_KDF* kdf = EVP_KDF_fetch(GostLibCtx(), "PBKDF2", nullptr);
    EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    int pkcs5 = 1;  // no lower bounds on salt and iteration count
    uint8_t none = 0;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_PASSWORD, const_cast<uint8_t*>(password.empty() ? &none : password.data()),
            password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                          const_cast<uint8_t*>(salt.empty() ? &none : salt.data()),
                                          salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                         const_cast<char*>(DigestName(hashId)), 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5), OSSL_PARAM_construct_end()};
    Bytes out(length);
    bool ok = ctx != nullptr && EVP_KDF_derive(ctx, out.data(), out.size(), params) > 0;
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    EXPECT_TRUE(ok);
    return out;
}

Bytes RandomBytesOf(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Lengths around block and meshing boundaries, and a few long ones.
std::vector<size_t> TestLengths(std::mt19937& rng) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    for (size_t n : {1023, 1024, 1025, 1026, 4096, 4097, 4159, 4160, 4161}) lengths.push_back(n);
    for (int i = 0; i < 4; ++i) lengths.push_back(4096 + rng() % 20000);
    return lengths;
}

TEST(HashOpenSsl, LengthSweepFoldedIntoOneDigest) {
    REQUIRE_GOST_PROVIDER();
    std::mt19937 rng(20261206);
    std::vector<size_t> lengths = TestLengths(rng);
    for (uint32_t id : {kAlgGostR341194, kAlgStreebog256, kAlgStreebog512}) {
        Bytes ours, theirs;
        for (size_t n : lengths) {
            if (id == kAlgGostR341194 && n == 0) continue;
            Bytes msg = RandomBytesOf(rng, n), out(DigestSize(id));
            ASSERT_TRUE(HashById(msg.data(), msg.size(), out.data(), out.size(), id));
            ours.insert(ours.end(), out.begin(), out.end());
            Bytes ref = OsslHash(id, msg);
            theirs.insert(theirs.end(), ref.begin(), ref.end());
        }
        // One comparison of the folded digests; on a mismatch, name the first bad length.
        if (OsslHash(kAlgStreebog512, ours) != OsslHash(kAlgStreebog512, theirs)) {
            size_t d = DigestSize(id), i = 0;
            while (std::equal(ours.begin() + i * d, ours.begin() + (i + 1) * d, theirs.begin() + i * d))
                ++i;
            ADD_FAILURE() << std::hex << id << ": first mismatch at test length index " << std::dec
                          << i;
        }
    }
}

TEST(HashOpenSsl, HmacRandomKeysAndData) {
    REQUIRE_GOST_PROVIDER();
    std::mt19937 rng(7836);
    std::vector<size_t> lengths = TestLengths(rng);
    struct {
        uint32_t hmac, hash;
    } algs[] = {{kAlgHmacGostR341194, kAlgGostR341194},
                {kAlgHmacStreebog256, kAlgStreebog256},
                {kAlgHmacStreebog512, kAlgStreebog512}};
    // Keys around the block sizes, including the long ones that are hashed first.
    const size_t keyLengths[] = {0, 1, 31, 32, 33, 34, 63, 64, 65, 100, 128, 200, 1025};
    for (const auto& alg : algs) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            size_t keyLength = i < std::size(keyLengths) ? keyLengths[i] : rng() % 201;
            Bytes key = RandomBytesOf(rng, keyLength), data = RandomBytesOf(rng, lengths[i]);
            Bytes out(DigestSize(alg.hash));
            uint8_t none = 0;
            ASSERT_TRUE(HmacById(data.data(), data.size(), out.data(), out.size(),
                                 key.empty() ? &none : key.data(), key.size(), alg.hmac));
            ASSERT_EQ(ToHex(out), ToHex(OsslHmac(alg.hash, key, data)))
                << std::hex << alg.hmac << std::dec << " key " << keyLength << " data "
                << lengths[i];
        }
    }
}

TEST(HashOpenSsl, Pbkdf2RandomPasswordsSaltsAndBlocks) {
    REQUIRE_GOST_PROVIDER();
    std::mt19937 rng(8018);
    for (uint32_t prf : {kPrfGostR341194, kPrfStreebog512}) {
        uint32_t hashId = prf == kPrfGostR341194 ? kAlgGostR341194 : kAlgStreebog512;
        size_t hLen = DigestSize(hashId);
        for (int i = 0; i < 24; ++i) {
            // Passwords over the block size (long keys) included; one run at 2,000 iterations.
            Bytes password = RandomBytesOf(rng, rng() % 100);
            Bytes salt = RandomBytesOf(rng, rng() % 40);
            uint64_t iterations = i == 0 ? 2000 : 1 + rng() % 20;
            uint32_t block = 1 + static_cast<uint32_t>(rng() % 3);
            uint8_t out[32], none = 0;
            ASSERT_TRUE(Pbkdf2Block(out, 32, prf, password.empty() ? &none : password.data(),
                                    password.size(), salt.empty() ? &none : salt.data(),
                                    salt.size(), iterations, block));
            Bytes ref = OsslPbkdf2(hashId, password, salt, iterations, block * hLen);
            ASSERT_EQ(ToHex(out, 32), ToHex(ref.data() + (block - 1) * hLen, 32))
                << "prf " << prf << " password " << password.size() << " salt " << salt.size()
                << " iterations " << iterations << " block " << block;
        }
    }
}

}  // namespace
}  // namespace keymend

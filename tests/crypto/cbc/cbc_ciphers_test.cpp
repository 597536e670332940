// CBC decryption with AES (bitsliced and with the AES instructions), DES, triple DES and RC2:
// known answers into separate and shared misaligned buffers, key and length rules, the PKCS#7
// padding check, and OpenSSL's encryptions of random data.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <random>

#include "crypto/aes/aes.h"
#include "crypto/cbc/cbc.h"
#include "crypto/des/des.h"
#include "crypto/rc2/rc2.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::OnEachCpuPath;
using test::ToHex;

using Decrypt = bool (*)(const Bytes& key, uint32_t effectiveBits, const uint8_t* iv,
                         const uint8_t* in, uint8_t* out, size_t length);

struct Cipher {
    const char* name;
    Decrypt decrypt;
    size_t block;
};

constexpr Cipher kCiphers[] = {
    {"aes",
     [](const Bytes& key, uint32_t, const uint8_t* iv, const uint8_t* in, uint8_t* out, size_t n) {
         AesKey k;
         return AesSetKey(k, key.data(), key.size()) && AesCbcDecrypt(k, iv, in, out, n);
     },
     16},
    {"des",
     [](const Bytes& key, uint32_t, const uint8_t* iv, const uint8_t* in, uint8_t* out, size_t n) {
         DesKey k;
         return DesSetKey(k, key.data(), key.size()) && DesCbcDecrypt(k, iv, in, out, n);
     },
     8},
    {"rc2",
     [](const Bytes& key, uint32_t bits, const uint8_t* iv, const uint8_t* in, uint8_t* out,
        size_t n) {
         Rc2Key k;
         return Rc2SetKey(k, key.data(), key.size(), bits) && Rc2CbcDecrypt(k, iv, in, out, n);
     },
     8},
};

const Cipher& Named(const std::string& name) {
    for (const Cipher& c : kCiphers) {
        if (name == c.name) return c;
    }
    ADD_FAILURE() << "no cipher " << name;
    return kCiphers[0];
}

// Decrypts in CBC under `iv` (with an empty iv: each block alone, as ECB) into a separate buffer
// and in place, both one octet off alignment.
Bytes DecryptBoth(const Cipher& c, const Bytes& key, uint32_t bits, const Bytes& iv,
                  const Bytes& in) {
    const Bytes zero(c.block, 0);
    Bytes buffer(in.size() + 1), shared(in.size() + 1);
    std::copy(in.begin(), in.end(), shared.begin() + 1);
    const size_t step = iv.empty() ? c.block : in.size();
    for (size_t at = 0; at < in.size(); at += step) {
        const uint8_t* chain = iv.empty() ? zero.data() : iv.data();
        EXPECT_TRUE(c.decrypt(key, bits, chain, in.data() + at, buffer.data() + 1 + at, step));
        EXPECT_TRUE(
            c.decrypt(key, bits, chain, shared.data() + 1 + at, shared.data() + 1 + at, step));
    }
    EXPECT_EQ(ToHex(shared), ToHex(buffer)) << "in place";
    return Bytes(buffer.begin() + 1, buffer.end());
}

TEST(CbcVectors, KnownAnswers) {
    OnEachCpuPath([] {
        for (const Cipher& c : kCiphers) {
            for (const auto& v :
                 test::LoadVectors(std::string("cbc/") + c.name + ".vec",
                                   {"Key", "Iv", "EffectiveBits", "Ciphertext", "Plaintext"})) {
                SCOPED_TRACE(std::string(c.name) + " key " + v.Get("Key"));
                const uint32_t bits =
                    v.Has("EffectiveBits")
                        ? static_cast<uint32_t>(std::stoul(v.Get("EffectiveBits")))
                        : 0;
                const Bytes iv = v.Has("Iv") ? v.Hex("Iv") : Bytes{};
                EXPECT_EQ(ToHex(DecryptBoth(c, v.Hex("Key"), bits, iv, v.Hex("Ciphertext"))),
                          v.Get("Plaintext"));
            }
        }
    });
}

TEST(CbcRules, KeysLengthsAndPadding) {
    const struct {
        const char* cipher;
        size_t keyLength;
        uint32_t bits;
        bool accepted;
    } keys[] = {
        {"aes", 16, 0, true},     {"aes", 24, 0, true},     {"aes", 32, 0, true},
        {"aes", 0, 0, false},     {"aes", 15, 0, false},    {"aes", 20, 0, false},
        {"aes", 33, 0, false},    {"des", 8, 0, true},      {"des", 16, 0, true},
        {"des", 24, 0, true},     {"des", 7, 0, false},     {"des", 12, 0, false},
        {"des", 32, 0, false},    {"rc2", 1, 1, true},      {"rc2", 5, 40, true},
        {"rc2", 128, 1024, true}, {"rc2", 0, 40, false},    {"rc2", 129, 128, false},
        {"rc2", 16, 0, false},    {"rc2", 16, 1025, false},
    };
    const Bytes iv(16, 7), data(33, 9);
    Bytes out(33);
    for (const auto& k : keys) {
        const Cipher& c = Named(k.cipher);
        const Bytes key(k.keyLength, 0x5A);
        EXPECT_EQ(c.decrypt(key, k.bits, iv.data(), data.data(), out.data(), 16), k.accepted)
            << k.cipher << " key of " << k.keyLength << " octets, " << k.bits << " bits";
        if (!k.accepted) continue;
        EXPECT_FALSE(c.decrypt(key, k.bits, iv.data(), data.data(), out.data(), 17));
        EXPECT_TRUE(c.decrypt(key, k.bits, nullptr, nullptr, nullptr, 0));
    }
    AesKey aes;
    DesKey des;
    Rc2Key rc2;
    const uint8_t longKey[33] = {};
    EXPECT_FALSE(AesSetKey(aes, longKey, 33) ||
                 AesCbcDecrypt(aes, iv.data(), data.data(), out.data(), 16));
    EXPECT_FALSE(DesSetKey(des, longKey, 33) ||
                 DesCbcDecrypt(des, iv.data(), data.data(), out.data(), 16));
    EXPECT_FALSE(Rc2SetKey(rc2, longKey, 33, 0) ||
                 Rc2CbcDecrypt(rc2, iv.data(), data.data(), out.data(), 16));

    // Every pad value 0..block+1 at the end of two blocks, and every padding octet but the last
    // one changed in turn.
    for (size_t block : {8u, 16u}) {
        for (size_t pad = 0; pad <= block + 1; ++pad) {
            Bytes padded(2 * block, 0xA5);
            for (size_t i = 0; i < std::max<size_t>(std::min(pad, block), 1); ++i) {
                padded[2 * block - 1 - i] = static_cast<uint8_t>(pad);
            }
            size_t length = 0;
            const bool valid = pad >= 1 && pad <= block;
            EXPECT_EQ(Pkcs7PlainLength(padded.data(), padded.size(), block, length), valid)
                << "pad " << pad << " in blocks of " << block;
            if (valid) {
                EXPECT_EQ(length, 2 * block - pad);
            }
            for (size_t i = 1; valid && i < pad; ++i) {
                Bytes damaged = padded;
                damaged[2 * block - 1 - i] ^= 0x10;
                EXPECT_FALSE(Pkcs7PlainLength(damaged.data(), damaged.size(), block, length))
                    << "pad " << pad << ", octet " << i << " from the end changed";
            }
        }
    }
    const Bytes full(16, 8);
    size_t length = 99;
    EXPECT_FALSE(Pkcs7PlainLength(full.data(), 0, 8, length));
    EXPECT_FALSE(Pkcs7PlainLength(full.data(), 12, 8, length));
    EXPECT_FALSE(Pkcs7PlainLength(full.data(), 16, 0, length));
    EXPECT_FALSE(Pkcs7PlainLength(nullptr, 16, 8, length));
    EXPECT_EQ(length, 99u);
}

// OpenSSL encrypts random plaintexts of 0..300 octets (padded) under random keys; the decryption
// with the padding removed must give them back. DES and RC2 need OpenSSL's legacy provider.
TEST(CbcOpenSsl, DecryptsOpenSslEncryptions) {
    struct Provider {
        OSSL_PROVIDER* p = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
        ~Provider() {
            if (p != nullptr) OSSL_PROVIDER_unload(p);
        }
    } legacyProvider;
    const bool legacy = legacyProvider.p != nullptr;
    const struct {
        const char* openssl;
        const char* cipher;
        uint32_t bits;  // RC2 effective bits; 0: random, with a random key length
        bool needsLegacy;
    } cases[] = {
        {"AES-128-CBC", "aes", 0, false},  {"AES-192-CBC", "aes", 0, false},
        {"AES-256-CBC", "aes", 0, false},  {"DES-EDE-CBC", "des", 0, false},
        {"DES-EDE3-CBC", "des", 0, false}, {"DES-CBC", "des", 0, true},
        {"RC2-40-CBC", "rc2", 40, true},   {"RC2-CBC", "rc2", 128, true},
        {"RC2-CBC", "rc2", 0, true},
    };
    std::mt19937 rng(2268);
    auto random = [&rng](size_t n) {
        Bytes b(n);
        for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
        return b;
    };
    OnEachCpuPath([&] {
        for (const auto& k : cases) {
            if (k.needsLegacy && !legacy) continue;
            SCOPED_TRACE(k.openssl);
            EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, k.openssl, nullptr);
            ASSERT_NE(cipher, nullptr);
            const Cipher& c = Named(k.cipher);
            for (int trial = 0; trial < 25; ++trial) {
                const bool anyRc2 = k.cipher == std::string("rc2") && k.bits == 0;
                const uint32_t bits = anyRc2 ? 1 + rng() % 1024 : k.bits;
                const Bytes key =
                    random(anyRc2 ? 1 + rng() % 128 : EVP_CIPHER_get_key_length(cipher));
                const Bytes iv = random(c.block), plain = random(rng() % 301);
                Bytes encrypted(plain.size() + c.block);
                int n = 0, last = 0;
                EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
                ASSERT_EQ(EVP_EncryptInit_ex2(ctx, cipher, nullptr, nullptr, nullptr), 1);
                if (anyRc2) {
                    ASSERT_EQ(EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())), 1);
                    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS,
                                                  static_cast<int>(bits), nullptr),
                              1);
                }
                ASSERT_EQ(EVP_EncryptInit_ex2(ctx, nullptr, key.data(), iv.data(), nullptr), 1);
                ASSERT_EQ(EVP_EncryptUpdate(ctx, encrypted.data(), &n, plain.data(),
                                            static_cast<int>(plain.size())),
                          1);
                ASSERT_EQ(EVP_EncryptFinal_ex(ctx, encrypted.data() + n, &last), 1);
                EVP_CIPHER_CTX_free(ctx);
                encrypted.resize(static_cast<size_t>(n + last));
                const Bytes decrypted = DecryptBoth(c, key, bits, iv, encrypted);
                size_t length = 0;
                ASSERT_TRUE(Pkcs7PlainLength(decrypted.data(), decrypted.size(), c.block, length));
                EXPECT_EQ(ToHex(decrypted.data(), length), ToHex(plain))
                    << "key of " << key.size() << " octets, " << bits << " bits";
            }
            EVP_CIPHER_free(cipher);
        }
    });
    if (!legacy)
        GTEST_SKIP() << "OpenSSL's legacy provider is not available: DES and RC2 unchecked";
}

}  // namespace
}  // namespace keymend

// The PKCS#12 password octets and key derivation: the BMPString form and the passwords refused,
// and OpenSSL's derivations from the same UTF-8 text (its own conversion) for every hash, purpose
// and boundary length, on both SHA paths.
#include "pkcs12/pkcs12_kdf.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

// UTF-8 in, BMPString octets out ("" for a refused password).
TEST(Pkcs12Kdf, PasswordOctets) {
    const struct {
        const char* utf8;
        const char* bmp;
    } cases[] = {
        {"426561766973", "0042006500610076006900730000"},  // "Beavis", RFC 7292 appendix B.1
        {"", "0000"},                                      // as files with an empty password use it
        {"d0bad0bbd18ed187", "043a043b044e04470000"},      // Cyrillic
        {"f09f9491", "d83ddd110000"},                      // U+1F511: a surrogate pair
        {"efbfbf", "ffff0000"},                            // U+FFFF
        {"f48fbfbf", "dbffdfff0000"},                      // U+10FFFF
        {"c328", ""},                                      // not a continuation octet
        {"ff", ""},                                        // never in UTF-8
        {"80", ""},                                        // continuation without a lead
        {"eda080", ""},                                    // U+D800: a surrogate
        {"edbfbf", ""},                                    // U+DFFF: a surrogate
        {"c080", ""},                                      // overlong U+0000
        {"e08080", ""},                                    // overlong, three octets
        {"f4908080", ""},                                  // U+110000
        {"f09f94", ""},                                    // truncated
    };
    for (const auto& c : cases) {
        const Bytes utf8 = FromHex(c.utf8);
        SecureBlob out;
        out.Assign(utf8.data(), 1);  // whatever it held must go
        const bool ok = Pkcs12PasswordFromUtf8(utf8.data(), utf8.size(), out);
        EXPECT_EQ(ok, *c.bmp != 0) << c.utf8;
        EXPECT_EQ(ToHex(out.data(), out.size()), c.bmp) << c.utf8;
    }
}

TEST(Pkcs12Kdf, ArgumentRules) {
    const uint8_t data[8] = {1};
    uint8_t out[32];
    EXPECT_FALSE(Pkcs12DeriveKey(ShaAlgorithm::kSha1, data, 8, data, 8, 1, 0, out, 20));
    EXPECT_FALSE(Pkcs12DeriveKey(static_cast<ShaAlgorithm>(9), data, 8, data, 8, 1, 1, out, 20));
    EXPECT_FALSE(Pkcs12DeriveKey(ShaAlgorithm::kSha1, data, 8, data, 8, 1, 1, out, 0));
    EXPECT_FALSE(Pkcs12DeriveKey(ShaAlgorithm::kSha1, data, 8, nullptr, 8, 1, 1, out, 20));
    EXPECT_FALSE(Pkcs12DeriveKey(ShaAlgorithm::kSha1, nullptr, 8, data, 8, 1, 1, out, 20));
    EXPECT_FALSE(Pkcs12DeriveKey(ShaAlgorithm::kSha1, data, 8, data, 8, 1, 1, nullptr, 20));
    SecureBlob password;
    EXPECT_FALSE(Pkcs12PasswordFromUtf8(nullptr, 1, password));
}

// Passwords ASCII, empty, Cyrillic, with a character beyond the BMP and longer than a block; the
// other form of the empty password (no octets); salts and outputs around u and v.
TEST(Pkcs12KdfOpenSsl, DerivationsMatch) {
    const std::string passwords[] = {
        "Beavis", "", "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c",
        "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87 \xf0\x9f\x94\x91", std::string(70, 'p') + "\xd0\x96"};
    const ShaAlgorithm hashes[] = {ShaAlgorithm::kSha1, ShaAlgorithm::kSha224,
                                   ShaAlgorithm::kSha256, ShaAlgorithm::kSha384,
                                   ShaAlgorithm::kSha512};
    const EVP_MD* mds[] = {EVP_sha1(), EVP_sha224(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
    Bytes salt(130);
    for (size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<uint8_t>(i * 37 + 11);
    test::OnEachCpuPath([&] {
        for (int h = 0; h < 5; ++h) {
            const size_t u = ShaDigestSize(hashes[h]), v = ShaBlockSize(hashes[h]);
            // (salt length, output length, iterations)
            const size_t shapes[][3] = {
                {8, 24, 2048}, {0, 1, 1}, {v - 1, u, 2}, {v, u + 1, 3}, {v + 1, 2 * u + 5, 1}};
            for (const std::string& text : passwords) {
                SecureBlob password;
                ASSERT_TRUE(Pkcs12PasswordFromUtf8(reinterpret_cast<const uint8_t*>(text.data()),
                                                   text.size(), password));
                for (uint8_t id = 1; id <= 3; ++id) {
                    for (const auto& shape : shapes) {
                        SCOPED_TRACE(std::string(EVP_MD_get0_name(mds[h])) + " password \"" + text +
                                     "\" id " + std::to_string(id) + " salt " +
                                     std::to_string(shape[0]) + " out " + std::to_string(shape[1]) +
                                     " x" + std::to_string(shape[2]));
                        const int saltLength = static_cast<int>(shape[0]);
                        const int outLength = static_cast<int>(shape[1]);
                        const int iterations = static_cast<int>(shape[2]);
                        Bytes ours(shape[1]), theirs(shape[1]);
                        ASSERT_TRUE(Pkcs12DeriveKey(hashes[h], password.data(), password.size(),
                                                    salt.data(), shape[0], id, shape[2],
                                                    ours.data(), ours.size()));
                        ASSERT_EQ(PKCS12_key_gen_utf8(text.c_str(), static_cast<int>(text.size()),
                                                      salt.data(), saltLength, id, iterations,
                                                      outLength, theirs.data(), mds[h]),
                                  1);
                        EXPECT_EQ(ToHex(ours), ToHex(theirs));
                        // (OpenSSL refuses to derive from no salt and no password.)
                        if (!text.empty() || id != 3 || shape[0] == 0) continue;
                        ASSERT_TRUE(Pkcs12DeriveKey(hashes[h], nullptr, 0, salt.data(), shape[0],
                                                    id, shape[2], ours.data(), ours.size()));
                        ASSERT_EQ(PKCS12_key_gen_uni(nullptr, 0, salt.data(), saltLength, id,
                                                     iterations, outLength, theirs.data(), mds[h]),
                                  1);
                        EXPECT_EQ(ToHex(ours), ToHex(theirs)) << "no password octets";
                    }
                }
            }
        }
    });
}

}  // namespace
}  // namespace keymend

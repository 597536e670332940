#include "container/protection.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdio>
#include <functional>

#include "container/container_builder.h"
#include "crypto/ec/keypair.h"

namespace keymend {
namespace {

using namespace keymend::test;

Bytes ToBytes(const SecureBlob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

// The public key of a decrypted masked key, or empty.
Bytes PublicOf(const SecureBlob& key, const SecureBlob& mask, const std::string& curve) {
    Bytes out(2 * key.size());
    if (key.empty() || !PublicKeyFromPrivate(out.data(), key.data(), key.size(), mask.data(),
                                             mask.size(), curve.c_str(), true)) {
        return {};
    }
    return out;
}

TEST(ContainerProtection, KeyAlgorithmTable) {
    const struct {
        const char* oid;
        uint32_t providerType;
        bool agreement;
        const char* signature;  // AlgorithmOidForKeyUse, keySpec 2
        const char* exchange;   // keySpec 1
    } cases[] = {
        {"1.2.643.2.2.19", 75, false, "1.2.643.2.2.19", "1.2.643.2.2.98"},
        {"1.2.643.7.1.1.1.1", 80, false, "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.6.1"},
        {"1.2.643.7.1.1.1.2", 81, false, "1.2.643.7.1.1.1.2", "1.2.643.7.1.1.6.2"},
        {"1.2.643.2.2.98", 75, true, nullptr, nullptr},
        {"1.2.643.7.1.1.6.2", 81, true, nullptr, nullptr},
        {"1.2.643.7.1.1.3.2", 80, false, nullptr, nullptr},
        {"1.2.643.7.1.1.1", 0, false, nullptr, nullptr},
        {"1.2.643.2.2.19.0", 0, false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProviderTypeOfOid(c.oid), c.providerType) << c.oid;
        EXPECT_EQ(IsKeyAgreementOid(c.oid), c.agreement) << c.oid;
        EXPECT_EQ(CanonicalAlgorithmOid(c.oid) != nullptr, c.providerType != 0) << c.oid;
        OidText out;
        EXPECT_EQ(AlgorithmOidForKeyUse(c.oid, 2, out), c.signature != nullptr) << c.oid;
        if (c.signature) {
            EXPECT_STREQ(out.c_str(), c.signature);
        }
        EXPECT_EQ(AlgorithmOidForKeyUse(c.oid, 1, out), c.exchange != nullptr) << c.oid;
        if (c.exchange) {
            EXPECT_STREQ(out.c_str(), c.exchange);
        }
    }
    OidText empty, set31_2, unknown;
    ASSERT_TRUE(set31_2.Set("1.2.643.2.2.31.2"));
    ASSERT_TRUE(unknown.Set("1.2.643.2.2.31.8"));
    EXPECT_STREQ(ContainerParamSet(empty, 75), "1.2.643.2.2.31.1");
    EXPECT_STREQ(ContainerParamSet(empty, 81), "1.2.643.7.1.2.5.1.1");
    EXPECT_STREQ(ContainerParamSet(set31_2, 80), "1.2.643.2.2.31.2");
    EXPECT_EQ(ContainerParamSet(unknown, 80), nullptr);
}

TEST(ContainerProtection, PasswordKeyDerivation) {
    const uint8_t salt[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t a[32], b[32], c[32], d[32];
    ASSERT_TRUE(DerivePasswordKey(a, u"password", salt, 12, 80));
    ASSERT_TRUE(DerivePasswordKey(b, u"password", salt, 12, 81));
    ASSERT_TRUE(DerivePasswordKey(c, u"password", salt, 12, 75));
    ASSERT_TRUE(DerivePasswordKey(d, u"", salt, 12, 80));
    EXPECT_EQ(ToHex(a, 32), ToHex(b, 32));  // same hash and block for 80 and 81
    EXPECT_NE(ToHex(a, 32), ToHex(c, 32));
    EXPECT_NE(ToHex(a, 32), ToHex(d, 32));
    ASSERT_TRUE(DerivePasswordKey(b, u"passwore", salt, 12, 80));
    EXPECT_NE(ToHex(a, 32), ToHex(b, 32));
    ASSERT_TRUE(DerivePasswordKey(b, u"password", salt, 11, 80));
    EXPECT_NE(ToHex(a, 32), ToHex(b, 32));
    EXPECT_FALSE(DerivePasswordKey(b, u"password", salt, 12, 0));
}

// The derivation rebuilt on OpenSSL's GOST hashes (the GOST provider), as an independent check of
// the hash selection, block sizes and concatenation layout.
Bytes OpenSslDerive(const char* mdName, size_t b, const std::u16string& password,
                    const Bytes& salt) {
    EVP_MD* md = EVP_MD_fetch(nullptr, mdName, nullptr);
    if (md == nullptr) return {};
    auto h = [md](const Bytes& in) {
        Bytes out(32);
        unsigned int n = 0;
        EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr);
        return out;
    };
    Bytes p;
    for (char16_t u : password) p.insert(p.end(), {uint8_t(u & 0xFF), uint8_t(u >> 8), 0, 0});
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& x : parts) out.insert(out.end(), x.begin(), x.end());
        return out;
    };
    const Bytes m = h(cat({salt, p}));
    Bytes k(b, 0);
    const std::string fixed = "KLOPRT415.902371568.ZXMWQBNVA.TU";
    std::copy(fixed.begin(), fixed.end(), k.begin());
    auto xored = [](const Bytes& x, uint8_t v, size_t n) {
        Bytes out(x.begin(), x.begin() + n);
        for (uint8_t& c : out) c ^= v;
        return out;
    };
    for (int i = 0, n = password.empty() ? 2 : 2000; i < n; ++i) {
        Bytes next = h(cat({xored(k, 0x36, b), m, xored(k, 0x5C, b), m}));
        next.resize(b, 0);
        k = next;
    }
    const Bytes result = h(h(cat({xored(k, 0x36, 32), salt, xored(k, 0x5C, 32), p})));
    EVP_MD_free(md);
    return result;
}

TEST(ContainerProtection, PasswordKeyMatchesOpenSslHashes) {
    if (OSSL_PROVIDER_try_load(nullptr, "gostprov", 1) == nullptr) GTEST_SKIP();
    const Bytes salt = FromHex("a1a2a3a4a5a6a7a8a9aaabac");
    for (const std::u16string& password :
         {std::u16string(u"\u043a\u043b\u044e\u0447 1"), std::u16string()}) {
        for (uint32_t type : {75u, 80u}) {
            uint8_t key[32];
            ASSERT_TRUE(DerivePasswordKey(key, password.c_str(), salt.data(), salt.size(), type));
            const Bytes expected = OpenSslDerive(type == 75 ? "md_gost94" : "md_gost12_256",
                                                 type == 75 ? 32 : 64, password, salt);
            ASSERT_EQ(expected.size(), 32u);
            EXPECT_EQ(ToHex(key, 32), ToHex(expected)) << type;
        }
    }
}

struct RoundTripCase {
    const char* curve;
    uint32_t providerType;
    const char16_t* password;
    bool twoKeys;
};

TEST(ContainerProtection, WholeContainerRoundTrips) {
    const RoundTripCase cases[] = {
        {"1.2.643.2.2.35.1", 80, u"secret", false},
        {"1.2.643.2.2.35.1", 80, u"", true},
        {"1.2.643.2.2.36.0", 75, u"\u043f\u0430\u0440\u043e\u043b\u044c", true},
        {"1.2.643.7.1.2.1.2.1", 81, u"", false},
        {"1.2.643.7.1.2.1.2.3", 81, u"secret", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.curve);
        TempDir dir;
        const TestKey& first = Key(c.curve);
        const TestKey& second = Key(c.curve, 1);
        const std::string folder =
            MakeContainer(dir.path(), "rt", first, ExchangeAlgorithm(c.providerType), c.password);
        ASSERT_FALSE(folder.empty());
        if (c.twoKeys) {
            ASSERT_TRUE(
                AddSecondKey(folder, second, SignatureAlgorithm(c.providerType), c.password));
        }
        ContainerImagePtr image = OpenContainerStrict(folder.c_str(), c.password);
        ASSERT_TRUE(image);
        const HeaderRecord& h = image->header;
        const bool hasPassword = c.password[0] != 0;
        EXPECT_EQ(ToHex(ToBytes(h.flags)), hasPassword ? "c0" : "40");
        EXPECT_EQ(h.passwordCheck.size(), hasPassword ? 4u : 0u);
        EXPECT_EQ(ToHex(ToBytes(h.firstKey.flags)), "a0");
        EXPECT_STREQ(h.firstKey.encryptionParamSet.c_str(), DefaultParamSet(c.providerType));
        for (const auto* copy : {&image->primary, &image->primary2}) {
            const MaskFileRecord& masks = copy == &image->primary ? image->masks : image->masks2;
            EXPECT_EQ(PublicOf(copy->firstKeyDecrypted, masks.mask, c.curve), first.publicKey);
            if (c.twoKeys) {
                EXPECT_EQ(PublicOf(copy->secondKeyDecrypted, masks.mask, c.curve),
                          second.publicKey);
            }
            EXPECT_NE(ToBytes(copy->firstKey), ToBytes(copy->firstKeyDecrypted));
        }
        if (c.twoKeys) {
            EXPECT_EQ(ToHex(ToBytes(h.secondKey.flags)), "80");
            EXPECT_STREQ(h.secondKey.encryptionParamSet.c_str(), DefaultParamSet(c.providerType));
        }
        EXPECT_NE(ToBytes(image->masks.salt), ToBytes(image->masks2.salt));
        // A wrong password fails: at the password check, or at the public-key checks.
        EXPECT_FALSE(OpenContainerStrict(folder.c_str(), hasPassword ? u"wrong" : u"x"));
    }
}

// Re-encrypts an opened container under another parameter set, as another tool might have.
void MoveToParamSet(const std::string& folder, const char* paramSet, const char16_t* password) {
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
    ASSERT_TRUE(image);
    const uint32_t type = ProviderTypeOfOid(image->header.firstKey.algorithm);
    ASSERT_TRUE(image->header.firstKey.encryptionParamSet.Set(paramSet));
    for (auto [keys, masks] :
         {std::pair{&image->primary, &image->masks}, std::pair{&image->primary2, &image->masks2}}) {
        uint8_t kek[32];
        ASSERT_TRUE(DerivePasswordKey(kek, password, masks->salt.data(), masks->salt.size(), type));
        ASSERT_TRUE(keys->firstKey.Assign(keys->firstKeyDecrypted));
        ASSERT_TRUE(EncryptKeyField(keys->firstKey, kek, paramSet));
        ASSERT_TRUE(MaskCheckValue(*masks, paramSet, masks->maskCheck.data()));
    }
    const SecureBlob& check = image->header.firstKey.publicKeyCheck;
    ASSERT_TRUE(PasswordCheckValue(password, check.data(), check.size(), type, paramSet,
                                   image->header.passwordCheck.data()));
    ASSERT_TRUE(WriteFolder(*image, folder.c_str(), "moved", kWriteRewrite, false));
}

TEST(ContainerProtection, NonDefaultParamSetSurvivesAddingAKey) {
    TempDir dir;
    const TestKey& first = Key("1.2.643.7.1.2.1.2.1");
    const std::string folder =
        MakeContainer(dir.path(), "ps", first, SignatureAlgorithm(81), u"pw");
    MoveToParamSet(folder, "1.2.643.2.2.31.2", u"pw");
    ASSERT_TRUE(OpenContainerStrict(folder.c_str(), u"pw"));
    ASSERT_TRUE(AddSecondKey(folder, Key("1.2.643.7.1.2.1.2.1", 1), ExchangeAlgorithm(81), u"pw"));
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), u"pw");
    ASSERT_TRUE(image);
    EXPECT_STREQ(image->header.secondKey.encryptionParamSet.c_str(), "1.2.643.2.2.31.2");
    EXPECT_EQ(
        PublicOf(image->primary2.secondKeyDecrypted, image->masks2.mask, "1.2.643.7.1.2.1.2.1"),
        Key("1.2.643.7.1.2.1.2.1", 1).publicKey);
    // The tolerant open needs the right set.
    EXPECT_FALSE(OpenContainerTolerant(folder.c_str(), u"pw", "1.2.643.7.1.2.5.1.1", 0, true));
    EXPECT_TRUE(OpenContainerTolerant(folder.c_str(), u"pw", "1.2.643.2.2.31.2", 0, true));
}

// Rewrites header.key after `change`, with a valid MAC.
template <typename F>
void EditHeader(const std::string& folder, F change) {
    ContainerImagePtr image = CreateContainerImage();
    ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
    change(image->header);
    SecureBlob out;
    ASSERT_TRUE(EncodeHeaderFile(image->header, false, out));
    ASSERT_TRUE(WriteFileBytes(folder + "/header.key", ToBytes(out)));
}

TEST(ContainerProtection, EachIntegrityValueIsChecked) {
    const std::string curve = "1.2.643.2.2.35.1";
    const TestKey& key = Key(curve);
    const struct {
        const char* what;
        int usableCopies;  // bit 0: first copy recovers the key, bit 1: the second
        std::function<void(const std::string&)> damage;
    } cases[] = {
        {"mask check of masks.key", 2,
         [](const std::string& f) { FlipByteFromEnd(f + "/masks.key", 1); }},
        {"mask check of masks2.key", 1,
         [](const std::string& f) { FlipByteFromEnd(f + "/masks2.key", 1); }},
        {"header MAC", 3, [](const std::string& f) { FlipByteFromEnd(f + "/header.key", 1); }},
        {"password check", 3,
         [](const std::string& f) {
             EditHeader(f, [](HeaderRecord& h) { h.passwordCheck[0] ^= 1; });
         }},
        {"public-key check value", 3,
         [](const std::string& f) {
             EditHeader(f, [](HeaderRecord& h) { h.firstKey.publicKeyCheck[7] ^= 1; });
         }},
        {"encrypted key of primary.key", 2,
         [](const std::string& f) { FlipByteFromEnd(f + "/primary.key", 1); }},
        {"encrypted key of primary2.key", 1,
         [](const std::string& f) { FlipByteFromEnd(f + "/primary2.key", 1); }},
        {"missing name.key", 3,
         [](const std::string& f) { std::remove((f + "/name.key").c_str()); }},
    };
    TempDir dir;
    const std::string folder = MakeContainer(dir.path(), "neg", key, SignatureAlgorithm(80), u"pw");
    ASSERT_FALSE(folder.empty());
    const auto original = SnapshotFiles(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RestoreFiles(folder, original);
        c.damage(folder);
        EXPECT_FALSE(OpenContainerStrict(folder.c_str(), u"pw"));
        ContainerImagePtr image =
            OpenContainerTolerant(folder.c_str(), u"pw", "1.2.643.7.1.2.5.1.1", 0, true);
        ASSERT_TRUE(image);
        EXPECT_EQ(
            PublicOf(image->primary.firstKeyDecrypted, image->masks.mask, curve) == key.publicKey,
            (c.usableCopies & 1) != 0);
        EXPECT_EQ(
            PublicOf(image->primary2.firstKeyDecrypted, image->masks2.mask, curve) == key.publicKey,
            (c.usableCopies & 2) != 0);
    }
    RestoreFiles(folder, original);
    EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u"pw"));
}

}  // namespace
}  // namespace keymend

// The PKCS#12 reader on real files made by OpenSSL (committed and generated at run time) and on
// structures derived from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/ec/keypair.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"
#include "pkcs12/der_tree.h"
#include "pkcs12/pkcs12.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

DerBlob View(const Bytes& b) {
    return DerBlob{static_cast<uint32_t>(b.size()), b.data()};
}

bool Read(const Bytes& file, const std::string& password, ContainerImagePtr& image,
          uint32_t keySpec = 2, bool noMac = false) {
    image.reset();
    return ReadPkcs12(View(file), password.c_str(), image, kPkcs12NewContainer, keySpec, noMac);
}

Bytes PublicOf(const SecureBlob& key, const SecureBlob& mask, const char* curve) {
    Bytes out(2 * key.size());
    EXPECT_TRUE(PublicKeyFromPrivate(out.data(), key.data(), key.size(), mask.data(), mask.size(),
                                     curve, true));
    return out;
}

bool Holds(const SecureBlob& blob, const Bytes& needle) {
    return blob.size() >= needle.size() &&
           std::search(blob.data(), blob.data() + blob.size(), needle.begin(), needle.end()) !=
               blob.data() + blob.size();
}

void CheckImported(const Pkcs12Fixture& f, const ContainerImage& image, uint32_t keySpec) {
    const KeyProperties& p = image.header.firstKey;
    OidText expected;
    ASSERT_TRUE(AlgorithmOidForKeyUse(f.algorithm.c_str(), keySpec, expected));
    EXPECT_STREQ(p.algorithm.c_str(), expected.c_str());
    EXPECT_STREQ(p.publicKeyParamSet.c_str(), f.paramSet.c_str());
    EXPECT_STREQ(p.digestParamSet.c_str(), f.digestSet.c_str());
    const char* curve = f.paramSet.c_str();
    // Both copies hold the same key under different masks, and it is the certificate's key.
    EXPECT_EQ(PublicOf(image.primary.firstKey, image.masks.mask, curve), f.publicKey);
    EXPECT_EQ(PublicOf(image.primary2.firstKey, image.masks2.mask, curve), f.publicKey);
    EXPECT_NE(ToHex(image.masks.mask.data(), image.masks.mask.size()),
              ToHex(image.masks2.mask.data(), image.masks2.mask.size()));
    ASSERT_EQ(p.publicKeyCheck.size(), 8u);
    EXPECT_EQ(ToHex(p.publicKeyCheck.data(), 8), ToHex(f.publicKey.data(), 8));
    if (f.certificate == 0) {
        EXPECT_TRUE(p.certificate.empty());
        return;
    }
    EXPECT_TRUE(Holds(p.certificate, f.publicKey));  // which one OpenSSL wrote: ImportCommand
}

// Every file of both sets, each with one key use (the two sets use opposite ones).
void ImportAll(const std::vector<Pkcs12Fixture>& fixtures, uint32_t firstKeySpec) {
    uint32_t keySpec = firstKeySpec;
    for (const auto& f : fixtures) {
        SCOPED_TRACE(f.path);
        keySpec = 3 - keySpec;
        Bytes file = ReadFileBytes(f.path);
        ContainerImagePtr image;
        if (f.expect == "mac") {
            EXPECT_FALSE(Read(file, f.password, image, keySpec));
            ASSERT_TRUE(Read(file, f.password, image, keySpec, true));
        } else {
            ASSERT_TRUE(Read(file, f.password, image, keySpec));
        }
        CheckImported(f, *image, keySpec);
    }
}

TEST(Pkcs12Reader, CommittedFilesImport) {
    ImportAll(CommittedPkcs12Fixtures(), 1);
}

TEST(Pkcs12Reader, FreshOpenSslFilesImport) {
    if (GeneratedPkcs12Fixtures().empty()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    ImportAll(GeneratedPkcs12Fixtures(), 2);
}

TEST(Pkcs12Reader, WrongPasswordAndMissingMeshingFail) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "gost2012-512-tcA-ascii-mac512.pfx");
    const Pkcs12Fixture* longCert = FindFixture(all, "long-cert-meshing.pfx");
    ASSERT_TRUE(f && longCert);
    ContainerImagePtr image;
    EXPECT_FALSE(Read(ReadFileBytes(f->path), f->password + "x", image, 2, true));
    EXPECT_NE(image, nullptr);  // the new image stays with the caller
    // The certificate safe is over 1,024 bytes: without key meshing it decrypts to garbage.
    GlobalCryptoContext().keyMeshing = 0;
    bool withoutMeshing = Read(ReadFileBytes(longCert->path), longCert->password, image);
    GlobalCryptoContext().keyMeshing = 1;
    EXPECT_FALSE(withoutMeshing);
    EXPECT_TRUE(Read(ReadFileBytes(longCert->path), longCert->password, image));
}

// Every owned buffer the reader releases (decrypted safes and keys, the image) is overwritten
// by then (zeros; the arithmetic's guarded buffers use their 0x42 destroy fill), on success and
// on failure alike.
size_t g_released = 0, g_dirty = 0;
void CountRelease(const uint8_t* data, size_t size) {
    ++g_released;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != data[0] || (data[0] != 0 && data[0] != 0x42)) {
            ++g_dirty;
            return;
        }
    }
}

TEST(Pkcs12Reader, ReleasedBuffersAreWiped) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "masked-key-two-parts.pfx");
    ASSERT_TRUE(f);
    const Bytes file = ReadFileBytes(f->path);
    g_released = g_dirty = 0;
    SetReleaseObserverForTesting(CountRelease);
    for (const std::string& password : {f->password, std::string("wrong")}) {
        ContainerImagePtr image;
        Read(file, password, image);
    }
    SetReleaseObserverForTesting(nullptr);
    EXPECT_GT(g_released, 10u);
    EXPECT_EQ(g_dirty, 0u);
}

// Envelope changes on a real file; each must fail (even where the MAC is not checked), except
// a malformed macData when the MAC is not verified.
TEST(Pkcs12Reader, EnvelopeDeviations) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "gost2001-cpA-ascii-mac512.pfx");
    ASSERT_TRUE(f);
    const Der pfx = Der::Parse(ReadFileBytes(f->path));
    struct Case {
        const char* what;
        void (*change)(Der&);
        bool noMac;
        bool ok;
    } cases[] = {
        {"unchanged", [](Der&) {}, false, true},
        {"version in two octets",
         [](Der& d) {
             d[0] = Der::Prim(0x02, {0x00, 0x03});
         },
         true, false},
        {"version 2", [](Der& d) { d[0] = Der::Prim(0x02, {0x02}); }, true, false},
        {"no macData", [](Der& d) { d.kids.pop_back(); }, true, false},
        {"authSafe not data", [](Der& d) { d[1][0] = Der::Oid("1.2.840.113549.1.7.6"); }, true,
         false},
        {"MAC digest parameters another OID",
         [](Der& d) { d[2][0][0].kids.back() = Der::Oid("1.2.643.2.2.30.2"); }, false, false},
        {"MAC digest parameters context class",
         [](Der& d) { d[2][0][0].kids.back() = Der::Prim(0x80, {}); }, false, false},
        {"MAC digest parameters absent", [](Der& d) { d[2][0][0].kids.pop_back(); }, false, true},
        {"MAC digest SHA-1", [](Der& d) { d[2][0][0][0] = Der::Oid("1.3.14.3.2.26"); }, false,
         false},
        {"MAC one octet short", [](Der& d) { d[2][0][1].content.pop_back(); }, false, false},
        {"macData with four elements", [](Der& d) { d[2].kids.push_back(Der::Prim(0x02, {1})); },
         false, false},
        // Only the last arc of the digest OID counts: ...2.2 is not 9 or 26, so it is the
        // 64-octet GOST R 34.11-2012-512 MAC this file carries.
        {"MAC digest OID ending in 2",
         [](Der& d) { d[2][0][0][0] = Der::Oid("1.2.643.7.1.1.2.2"); }, false, true},
        {"macData malformed, not verified", [](Der& d) { d[2] = Der::Cons(0x30, {}); }, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Der changed = pfx;
        c.change(changed);
        ContainerImagePtr image;
        EXPECT_EQ(Read(changed.Encode(), f->password, image, 2, c.noMac), c.ok);
    }
}

// The PBES2 AlgorithmIdentifier of a real key bag, changed one element at a time.
TEST(Pkcs12Reader, Pbes2ParameterDeviations) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "no-cert.pfx");
    ASSERT_TRUE(f);
    Der pfx = Der::Parse(ReadFileBytes(f->path));
    Der safes = Der::Parse(pfx[1][1][0].content);
    Der bags = Der::Parse(safes[0][1][0].content);
    const Der algorithm = bags[0][1][0][0];  // SafeBag / [0] / EncryptedPrivateKeyInfo / alg
    struct Case {
        const char* what;
        void (*change)(Der&);
        bool ok;
    } cases[] = {
        {"unchanged", [](Der&) {}, true},
        {"keyLength present", [](Der& a) { a[1][0][1].kids.push_back(Der::Prim(0x02, {32})); },
         false},
        {"iterations absent", [](Der& a) { a[1][0][1].kids.erase(a[1][0][1].kids.begin() + 1); },
         false},
        {"prf SHA-256 HMAC", [](Der& a) { a[1][0][1][2][0] = Der::Oid("1.2.840.113549.2.9"); },
         false},
        {"prf parameters hash set", [](Der& a) { a[1][0][1][2][1] = Der::Oid("1.2.643.2.2.30.1"); },
         true},
        {"prf parameters other OID",
         [](Der& a) { a[1][0][1][2][1] = Der::Oid("1.2.643.2.2.30.0"); }, false},
        {"prf without parameters", [](Der& a) { a[1][0][1][2].kids.pop_back(); }, false},
        {"not PBES2", [](Der& a) { a[0] = Der::Oid("1.2.840.113549.1.5.3"); }, false},
        {"iv of 7 octets", [](Der& a) { a[1][1][1][0].content.pop_back(); }, false},
        {"unknown S-box", [](Der& a) { a[1][1][1][1] = Der::Oid("1.2.643.2.2.31.8"); }, false},
        {"other cipher", [](Der& a) { a[1][1][0] = Der::Oid("1.2.643.7.1.1.5.1"); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Der changed = algorithm;
        c.change(changed);
        Bytes der = changed.Encode();
        Bytes content(der.begin() + 2, der.end());  // all these encodings have a one-octet length
        uint8_t data[8] = {};
        EXPECT_EQ(Pbes2Decrypt(View(content), "secret", data, sizeof data), c.ok);
    }
}

TEST(Pkcs12Reader, DataSafeHoldsExactlyOneBag) {
    std::vector<Bytes> certs = {Bytes(300, 0x41)};
    Der certBag = Der::Cons(
        0x30, {Der::Oid("1.2.840.113549.1.12.10.1.3"),
               Der::Cons(0xA0, {Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.9.22.1"),
                                                 Der::Cons(0xA0, {Der::Prim(0x04, certs[0])})})})});
    auto dataSafe = [](std::vector<Der> bags) {
        Bytes safe = Der::Cons(0x30, std::move(bags)).Encode();
        Bytes wrapped = Der::Prim(0x04, safe).Encode();
        return wrapped;
    };
    ContainerImagePtr image = CreateContainerImage();
    Pkcs12ReadState state;
    state.password = "secret";
    state.image = image.get();
    Bytes one = dataSafe({certBag});
    EXPECT_TRUE(ReadDataSafe(View(one), state));
    ASSERT_EQ(state.certificates.size(), 1u);
    EXPECT_EQ(state.certificates[0].size(), 300u);
    Bytes two = dataSafe({certBag, certBag});
    EXPECT_FALSE(ReadDataSafe(View(two), state));
    Der keyBag = certBag;
    keyBag[0] = Der::Oid("1.2.840.113549.1.12.10.1.1");  // an unencrypted keyBag
    Bytes plainKey = dataSafe({keyBag});
    EXPECT_FALSE(ReadDataSafe(View(plainKey), state));
}

Der CertBag(const Bytes& certificate) {
    return Der::Cons(
        0x30, {Der::Oid("1.2.840.113549.1.12.10.1.3"),
               Der::Cons(0xA0, {Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.9.22.1"),
                                                 Der::Cons(0xA0, {Der::Prim(0x04, certificate)})})})});
}

// An EncryptedData SEQUENCE whose content is the given SafeContents octets, under PBES2 with
// HMAC GOST R 34.11-2012-512 and password "secret".
Bytes EncryptedSafe(Bytes plain) {
    const Bytes salt(8, 0x5A), iv(8, 0x17);
    const char* sbox = "1.2.643.2.2.31.1";
    uint8_t key[32];
    EXPECT_TRUE(Pbkdf2Block(key, sizeof key, kPrfStreebog512, "secret", salt.data(), salt.size(),
                            1, 1));
    EXPECT_TRUE(Gost28147Crypt(plain.data(), plain.size(), false, kGost28147Cfb, key, sizeof key,
                               sbox, iv.data()));
    Der algorithm = Der::Cons(
        0x30,
        {Der::Oid("1.2.840.113549.1.5.13"),
         Der::Cons(0x30, {Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.5.12"),
                                           Der::Cons(0x30, {Der::Prim(0x04, salt),
                                                            Der::Prim(0x02, {1}),
                                                            Der::Cons(0x30, {Der::Oid(
                                                                                 "1.2.643.7.1.1.4.2"),
                                                                             Der::Prim(0x05, {})})})}),
                          Der::Cons(0x30, {Der::Oid("1.2.643.2.2.21"),
                                           Der::Cons(0x30, {Der::Prim(0x04, iv),
                                                            Der::Oid(sbox)})})})});
    return Der::Cons(0x30, {Der::Prim(0x02, {0}),
                            Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.7.1"), algorithm,
                                             Der::Prim(0x80, plain)})})
        .Encode();
}

// Every certificate bag of an encrypted safe is a candidate; what follows the first certificate
// may be malformed without failing the safe, what precedes it may not.
TEST(Pkcs12Reader, EncryptedSafeCertificateWalk) {
    const Bytes a(200, 0x41), b(220, 0x42);
    const Der keyBag = Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.12.10.1.2"),
                                        Der::Cons(0xA0, {Der::Prim(0x05, {})})});
    const Der badBag = Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.12.10.1.3")});  // no value
    auto safe = [](std::vector<Der> bags) { return Der::Cons(0x30, std::move(bags)).Encode(); };
    Bytes tail = CertBag(a).Encode();
    tail.insert(tail.end(), {0x30, 0x05, 0x06});  // a truncated bag after the certificate
    Bytes badTail = Der::Prim(0x04, tail).Encode();
    badTail[0] = 0x30;
    struct Case {
        const char* what;
        Bytes plain;
        bool ok;
        std::vector<size_t> sizes;
    } cases[] = {
        {"chain", safe({CertBag(a), keyBag, CertBag(b)}), true, {200, 220}},
        {"malformed bag after the certificate", safe({CertBag(a), badBag, CertBag(b)}), true, {200}},
        {"truncated bag after the certificate", badTail, true, {200}},
        {"malformed bag before the certificate", safe({badBag, CertBag(a)}), false, {}},
        {"no certificate", safe({keyBag}), true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ContainerImagePtr image = CreateContainerImage();
        Pkcs12ReadState state;
        state.password = "secret";
        state.image = image.get();
        Bytes content = EncryptedSafe(c.plain);
        EXPECT_EQ(ReadEncryptedSafe(View(content), state), c.ok);
        if (!c.ok) continue;
        std::vector<size_t> sizes;
        for (const auto& cert : state.certificates) sizes.push_back(cert.size());
        EXPECT_EQ(sizes, c.sizes);
    }
}

}  // namespace
}  // namespace keymend::test

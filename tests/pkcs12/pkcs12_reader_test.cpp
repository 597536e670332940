// The PKCS#12 reader on real files made by OpenSSL, on structures derived from them and on
// structures laid out in tests/data/pkcs12.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "container/container_builder.h"
#include "crypto/ec/keypair.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"
#include "pkcs12/pkcs12.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

DerBlob View(const Bytes& b) {
    return DerBlob{static_cast<uint32_t>(b.size()), b.data()};
}

bool Read(const Bytes& file, const std::string& password, bool noMac = false,
          ContainerImagePtr* out = nullptr) {
    ContainerImagePtr image;
    const bool ok = ReadPkcs12(View(file), password.c_str(), image, kPkcs12NewContainer, 2, noMac);
    EXPECT_NE(image, nullptr);  // the new image stays with the caller, on failure too
    if (out != nullptr) *out = std::move(image);
    return ok;
}

// While alive, checks that every owned buffer released (decrypted safes and keys, key factors,
// images) is overwritten by then: zeros, or the 0x42 destroy fill of the arithmetic's guarded
// buffers.
size_t g_released = 0, g_dirty = 0;
struct WipeCheck {
    WipeCheck() {
        g_released = g_dirty = 0;
        SetReleaseObserverForTesting([](const uint8_t* data, size_t size) {
            ++g_released;
            const bool fill = size == 0 || data[0] == 0 || data[0] == 0x42;
            if (!fill || std::any_of(data, data + size, [&](uint8_t b) { return b != data[0]; })) {
                ++g_dirty;
            }
        });
    }
    ~WipeCheck() {
        SetReleaseObserverForTesting(nullptr);
        EXPECT_GT(g_released, 10u);
        EXPECT_EQ(g_dirty, 0u) << "of " << g_released << " released buffers";
    }
};

// Both copies hold the certificate's key. (The header each key use gives, the certificate
// chosen and the refusals are checked end to end by ImportCommand.)
void ImportAll(const std::vector<Pkcs12Fixture>& fixtures) {
    WipeCheck wipe;
    for (const auto& f : fixtures) {
        SCOPED_TRACE(f.path);
        const Bytes file = ReadFileBytes(f.path);
        ContainerImagePtr image;
        EXPECT_EQ(Read(file, f.password), f.expect != "mac");
        EXPECT_FALSE(Read(file, f.password + "x", true));  // fails with the MAC unchecked too
        ASSERT_TRUE(Read(file, f.password, f.expect == "mac", &image));
        EXPECT_EQ(PublicOf(image->primary.firstKey, image->masks.mask, f.paramSet), f.publicKey);
        EXPECT_EQ(PublicOf(image->primary2.firstKey, image->masks2.mask, f.paramSet), f.publicKey);
    }
}

TEST(Pkcs12Reader, CommittedFilesImport) {
    ImportAll(CommittedPkcs12Fixtures());
}

TEST(Pkcs12Reader, FreshOpenSslFilesImport) {
    if (GeneratedPkcs12Fixtures().empty()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    ImportAll(GeneratedPkcs12Fixtures());
}

// Applies the change of a deviations.vec record to `root`.
void Change(Der& root, const VectorRecord& r) {
    std::istringstream path(r.Get("Path"));
    Der* parent = nullptr;
    Der* node = &root;
    size_t index = 0;
    for (int i = 0; path >> i;) {
        parent = node;
        index = i < 0 ? node->kids.size() - 1 : static_cast<size_t>(i);
        node = &node->kids.at(index);
    }
    const Der value = r.Has("Oid")     ? Der::Oid(r.Get("Oid"))
                      : r.Has("Value") ? Der::Parse(r.Hex("Value"))
                                       : Der{};
    const std::string& change = r.Get("Change");
    if (change == "set") {
        *node = value;
    } else if (change == "append") {
        node->kids.push_back(value);
    } else if (change == "remove") {
        parent->kids.erase(parent->kids.begin() + static_cast<long>(index));
    } else if (change == "trim") {
        node->content.pop_back();
    } else {
        ADD_FAILURE() << "unknown change " << change;
    }
}

TEST(Pkcs12Reader, EnvelopeAndPbes2Deviations) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "gost2001-cpA-ascii-mac512.pfx");
    const Pkcs12Fixture* keyFile = FindFixture(all, "no-cert.pfx");
    ASSERT_TRUE(f && keyFile);
    const Der pfx = Der::Parse(ReadFileBytes(f->path));
    Der keyPfx = Der::Parse(ReadFileBytes(keyFile->path));
    Der safes = Der::Parse(keyPfx[1][1][0].content);
    Der bags = Der::Parse(safes[0][1][0].content);
    const Der pbes2 = bags[0][1][0][0];  // SafeBag / [0] / EncryptedPrivateKeyInfo / algorithm
    auto decrypts = [](const Der& algorithm) {
        const Bytes der = algorithm.Encode();
        const Bytes content(der.begin() + 2, der.end());  // every one has a one-octet length
        uint8_t data[8] = {};
        return Pbes2Decrypt(View(content), "secret", data, sizeof data);
    };
    EXPECT_TRUE(Read(pfx.Encode(), f->password));
    EXPECT_TRUE(decrypts(pbes2));
    WipeCheck wipe;
    for (const VectorRecord& r : LoadVectors(
             "pkcs12/deviations.vec", {"Case", "Path", "Change", "Value", "Oid", "NoMac", "Ok"})) {
        SCOPED_TRACE(r.section + ": " + r.Get("Case"));
        const bool envelope = r.section == "Envelope";
        Der changed = envelope ? pfx : pbes2;
        Change(changed, r);
        const bool noMac = r.Has("NoMac") && r.Get("NoMac") == "yes";
        EXPECT_EQ(envelope ? Read(changed.Encode(), f->password, noMac) : decrypts(changed),
                  r.Get("Ok") == "yes");
    }
}

// An EncryptedData SEQUENCE whose content is the given SafeContents octets, under PBES2 with
// HMAC GOST R 34.11-2012-512 (one iteration) and password "secret".
Bytes EncryptedSafe(Bytes plain) {
    const Bytes salt(8, 0x5A), iv(8, 0x17);
    const char* sbox = "1.2.643.2.2.31.1";
    uint8_t key[32];
    EXPECT_TRUE(Pbkdf2Block(key, 32, kPrfStreebog512, "secret", salt.data(), 8, 1, 1));
    EXPECT_TRUE(
        Gost28147Crypt(plain.data(), plain.size(), false, kGost28147Cfb, key, 32, sbox, iv.data()));
    const Der prf = Der::Cons(0x30, {Der::Oid("1.2.643.7.1.1.4.2"), Der::Prim(0x05, {})});
    const Der kdf =
        Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.5.12"),
                         Der::Cons(0x30, {Der::Prim(0x04, salt), Der::Prim(0x02, {1}), prf})});
    const Der cipher = Der::Cons(
        0x30, {Der::Oid("1.2.643.2.2.21"), Der::Cons(0x30, {Der::Prim(0x04, iv), Der::Oid(sbox)})});
    const Der algorithm =
        Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.5.13"), Der::Cons(0x30, {kdf, cipher})});
    const Der data =
        Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.7.1"), algorithm, Der::Prim(0x80, plain)});
    return Der::Cons(0x30, {Der::Prim(0x02, {0}), data}).Encode();
}

// A data safe holds exactly one bag, never an unencrypted key. In an encrypted safe every
// certificate bag is a candidate; what follows the first certificate may be malformed without
// failing the safe, what precedes it may not.
TEST(Pkcs12Reader, SafeContentsWalk) {
    for (const VectorRecord& r :
         LoadVectors("pkcs12/safes.vec", {"Case", "Safe", "Ok", "Certificates"})) {
        SCOPED_TRACE(r.section + ": " + r.Get("Case"));
        ContainerImagePtr image = CreateContainerImage();
        Pkcs12ReadState state;
        state.password = "secret";
        state.image = image.get();
        const bool encrypted = r.section == "Encrypted";
        const Bytes content = encrypted ? EncryptedSafe(r.Hex("Safe")) : Tlv(0x04, r.Hex("Safe"));
        const bool ok = encrypted ? ReadEncryptedSafe(View(content), state)
                                  : ReadDataSafe(View(content), state);
        ASSERT_EQ(ok, r.Get("Ok") == "yes");
        if (!ok) continue;
        std::string sizes;
        for (const auto& cert : state.certificates) sizes += std::to_string(cert.size()) + " ";
        EXPECT_EQ(sizes, r.Get("Certificates").empty() ? "" : r.Get("Certificates") + " ");
    }
}

// Key blob forms, parameters and versions. Both copies hold the key, under different fresh
// masks, with its check value; no key temporary survives.
TEST(StorePrivateKey, BlobFormsParametersAndVersions) {
    WipeCheck wipe;
    for (const VectorRecord& r :
         LoadVectors("pkcs12/private_keys.vec",
                     {"Case", "Pkcs8", "Ok", "Key", "Factor", "KeySpec", "Algorithm", "Digest"})) {
        SCOPED_TRACE(r.Get("Case"));
        ContainerImagePtr image = CreateContainerImage();
        Pkcs12ReadState state;
        state.image = image.get();
        state.keySpec = r.Has("KeySpec") ? static_cast<uint32_t>(std::stoul(r.Get("KeySpec"))) : 2;
        const Bytes pkcs8 = Cat({r.Hex("Pkcs8"), {0x00, 0x00}});
        ASSERT_EQ(StorePrivateKey(View(pkcs8), state), r.Get("Ok") == "yes");
        if (r.Get("Ok") != "yes") continue;
        const KeyProperties& p = image->header.firstKey;
        const std::string curve = p.publicKeyParamSet.c_str();
        const Bytes q = PublicOf(image->primary.firstKey, image->masks.mask, curve);
        ASSERT_FALSE(q.empty());
        EXPECT_EQ(PublicOf(image->primary2.firstKey, image->masks2.mask, curve), q);
        EXPECT_NE(BlobBytes(image->masks.mask), BlobBytes(image->masks2.mask));
        EXPECT_EQ(BlobBytes(p.publicKeyCheck), Bytes(q.begin(), q.begin() + 8));
        if (r.Has("Key")) {
            const Bytes key = r.Hex("Key");
            const Bytes factor = r.Has("Factor") ? r.Hex("Factor") : Cat({{1}, Bytes(31, 0)});
            Bytes expected(64);
            ASSERT_TRUE(PublicKeyFromPrivate(expected.data(), key.data(), 32, factor.data(), 32,
                                             curve.c_str(), false));
            EXPECT_EQ(ToHex(q), ToHex(expected));
        }
        EXPECT_EQ(p.algorithm.c_str(), r.Has("Algorithm") ? r.Get("Algorithm") : "1.2.643.2.2.19");
        EXPECT_EQ(p.digestParamSet.c_str(), r.Has("Digest") ? r.Get("Digest") : "1.2.643.2.2.30.1");
    }
}

}  // namespace
}  // namespace keymend::test

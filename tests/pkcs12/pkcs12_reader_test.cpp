// The PKCS#12 reader on structures derived from OpenSSL's files and laid out in tests/data/pkcs12.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "container/container_builder.h"
#include "crypto/ec/keypair.h"
#include "hardening/hardening_support.h"
#include "commands/import.h"
#include "pkcs12/pkcs12_internal.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

DerBlob View(const Bytes& b) {
    return DerBlob{static_cast<uint32_t>(b.size()), b.data()};
}

// While alive, counts the owned buffers released that are not overwritten by then (with zeros,
// or the 0x42 destroy fill of the arithmetic's guarded buffers); none may be.
size_t g_released = 0, g_dirty = 0;
struct WipeCheck {
    WipeCheck() {
        g_released = g_dirty = 0;
        SetReleaseObserverForTesting([](const uint8_t* data, size_t size) {
            ++g_released;
            const bool fill = size == 0 || data[0] == 0 || data[0] == 0x42;
            g_dirty +=
                !fill || std::any_of(data, data + size, [&](uint8_t b) { return b != data[0]; });
        });
    }
    ~WipeCheck() {
        SetReleaseObserverForTesting(nullptr);
        EXPECT_GT(g_released, 10u);
        EXPECT_EQ(g_dirty, 0u) << "of " << g_released << " released buffers";
    }
};

// Applies the change of a deviations.vec or standard.vec record to `root`, following the path
// from element `at`; "x" steps into the DER held by a primitive element's content.
void Change(Der& root, const VectorRecord& r, const std::vector<std::string>& path, size_t at) {
    Der* parent = nullptr;
    Der* node = &root;
    size_t index = 0;
    for (; at < path.size(); ++at) {
        if (path[at] == "x") {
            Der inner = Der::Parse(node->content);
            Change(inner, r, path, at + 1);
            node->content = inner.Encode();
            return;
        }
        const int i = std::stoi(path[at]);
        parent = node;
        index = i < 0 ? node->kids.size() - 1 : static_cast<size_t>(i);
        node = &node->kids.at(index);
    }
    const Der value = r.Has("Oid")     ? Der::Oid(r.Get("Oid"))
                      : r.Has("Value") ? Der::Parse(r.Hex("Value"))
                                       : Der{};
    const auto position = [&] { return parent->kids.begin() + static_cast<long>(index); };
    const std::string& change = r.Get("Change");
    if (change == "set") {
        *node = value;
    } else if (change == "append") {
        node->kids.push_back(value);
    } else if (change == "insert") {
        parent->kids.insert(position(), value);
    } else if (change == "copy") {
        const Der copy = *node;
        parent->kids.insert(position(), copy);
    } else if (change == "remove") {
        parent->kids.erase(position());
    } else if (change == "trim") {
        node->content.pop_back();
    } else if (change == "flip") {
        node->content.back() ^= 1;
    } else {
        ADD_FAILURE() << "unknown change " << change;
    }
}

void Change(Der& root, const VectorRecord& r) {
    Change(root, r, Words(r.Get("Path")), 0);
}

// A wrong password fails even with the MAC unchecked; then each deviation of the envelope or of
// the PBES2 parameters is accepted or refused, and every buffer released meanwhile is wiped.
TEST(Pkcs12Reader, EnvelopeAndPbes2Deviations) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "gost2001-cpA-ascii-mac512.pfx");
    const Pkcs12Fixture* keyFile = FindFixture(all, "no-cert.pfx");
    ASSERT_TRUE(f && keyFile);
    const Der pfx = Der::Parse(ReadFileBytes(f->path));
    Der keyPfx = Der::Parse(ReadFileBytes(keyFile->path));
    Der bags = Der::Parse(Der::Parse(keyPfx[1][1][0].content)[0][1][0].content);
    const Der pbes2 = bags[0][1][0][0];  // SafeBag / [0] / EncryptedPrivateKeyInfo / algorithm
    auto read = [&](const Der& changed, const std::string& password, bool noMac) {
        ContainerImagePtr image;
        const Bytes file = changed.Encode();
        const bool ok =
            ReadPkcs12Key(View(file), password.c_str(), image, ImportSlot::kFirstKey, 2,
                          noMac);
        EXPECT_NE(image, nullptr);  // the new image stays with the caller, on failure too
        return ok;
    };
    auto decrypts = [](const Der& algorithm) {
        const Bytes der = algorithm.Encode();
        const Bytes content(der.begin() + 2, der.end());  // every one has a one-octet length
        uint8_t data[8] = {};
        return Pbes2Decrypt(View(content), "secret", data, sizeof data);
    };
    WipeCheck wipe;
    EXPECT_TRUE(read(pfx, f->password, false));
    EXPECT_FALSE(read(pfx, f->password + "x", true));
    EXPECT_TRUE(decrypts(pbes2));
    for (const VectorRecord& r : LoadVectors(
             "pkcs12/deviations.vec", {"Case", "Path", "Change", "Value", "Oid", "NoMac", "Ok"})) {
        SCOPED_TRACE(r.section + ": " + r.Get("Case"));
        const bool envelope = r.section == "Envelope";
        Der changed = envelope ? pfx : pbes2;
        Change(changed, r);
        const bool noMac = r.Has("NoMac") && r.Get("NoMac") == "yes";
        EXPECT_EQ(envelope ? read(changed, f->password, noMac) : decrypts(changed),
                  r.Get("Ok") == "yes");
    }
}

// A data safe holds exactly one bag, never an unencrypted key (in a standard file: several
// certificate bags, or one plain key bag). In an encrypted safe every certificate bag is a
// candidate; what follows the first certificate may be malformed without failing the safe, what
// precedes it may not.
TEST(Pkcs12Reader, SafeContentsWalk) {
    for (const VectorRecord& r :
         LoadVectors("pkcs12/safes.vec", {"Case", "Safe", "Ok", "Certificates"})) {
        SCOPED_TRACE(r.section + ": " + r.Get("Case"));
        ContainerImagePtr image = CreateContainerImage();
        ImageKeySink sink(*image, ImportSlot::kFirstKey, 2);
        Pkcs12ReadState state;
        state.password = "secret";
        state.sink = &sink;
        state.standard = r.section == "StandardData";
        const bool data = r.section != "Encrypted";
        const Bytes safe = data ? Tlv(0x04, r.Hex("Safe")) : r.Hex("Safe");
        const bool ok =
            data ? ReadDataSafe(View(safe), state) : ReadEncryptedSafe(View(safe), state);
        ASSERT_EQ(ok, r.Get("Ok") == "yes");
        if (!ok) continue;
        std::vector<std::string> sizes;
        for (const auto& cert : state.certificates) sizes.push_back(std::to_string(cert.size()));
        EXPECT_EQ(sizes, Words(r.Get("Certificates")));
    }
}

// Standard protection: each change of standard.vec is accepted or refused for its reason, after
// the key derivations it lists; an accepted file gives the key of its certificate.
TEST(Pkcs12Reader, StandardProtection) {
    const auto all = CommittedPkcs12Fixtures();
    const char* const kFailures[] = {"none", "rejected", "keytype", "work", "unsupported"};
    WipeCheck wipe;
    for (const VectorRecord& r :
         LoadVectors("pkcs12/standard.vec", {"Case", "File", "Password", "Path", "Change", "Value",
                                             "Oid", "NoMac", "Failure", "Algorithm",
                                             "Derivations"})) {
        SCOPED_TRACE(r.Get("Case"));
        const Pkcs12Fixture* f = FindFixture(all, r.Get("File"));
        ASSERT_NE(f, nullptr);
        Der pfx = Der::Parse(ReadFileBytes(f->path));
        if (r.Has("Change")) Change(pfx, r);
        const Bytes file = pfx.Encode();
        const std::string password = r.Has("Password") ? r.Get("Password") : f->password;
        ContainerImagePtr image;
        Pkcs12Failure failure = Pkcs12Failure::kNone;
        OidText algorithm;
        const uint64_t before = Pkcs12DerivationCount();
        const bool ok =
            ReadPkcs12Key(View(file), password.c_str(), image, ImportSlot::kFirstKey, 2,
                          r.Has("NoMac") && r.Get("NoMac") == "yes", &failure, &algorithm);
        EXPECT_EQ(Pkcs12DerivationCount() - before, std::stoull(r.Get("Derivations")));
        EXPECT_EQ(kFailures[static_cast<int>(failure)], r.Get("Failure"));
        EXPECT_EQ(ok, failure == Pkcs12Failure::kNone);
        EXPECT_EQ(algorithm.c_str(), r.Has("Algorithm") ? r.Get("Algorithm") : "");
        if (!ok) continue;
        const std::string curve = image->header.firstKey.publicKeyParamSet.c_str();
        EXPECT_EQ(curve, f->paramSet);
        EXPECT_EQ(ToHex(PublicOf(image->primary.firstKey, image->masks.mask, curve)),
                  ToHex(f->publicKey));
        EXPECT_FALSE(image->header.firstKey.certificate.empty());
    }
}

// Key blob forms, parameters and versions. Both copies hold the key, under different fresh
// masks, with its check value; every buffer released is wiped.
TEST(StorePrivateKey, BlobFormsParametersAndVersions) {
    WipeCheck wipe;
    for (const VectorRecord& r :
         LoadVectors("pkcs12/private_keys.vec",
                     {"Case", "Pkcs8", "Ok", "Key", "Factor", "KeySpec", "Algorithm", "Digest"})) {
        SCOPED_TRACE(r.Get("Case"));
        ContainerImagePtr image = CreateContainerImage();
        ImageKeySink sink(*image, ImportSlot::kFirstKey,
                          r.Has("KeySpec") ? static_cast<uint32_t>(std::stoul(r.Get("KeySpec")))
                                           : 2);
        Pkcs12ReadState state;
        state.sink = &sink;
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
                                             curve.c_str(), MaskStep::kMultiply));
            EXPECT_EQ(ToHex(q), ToHex(expected));
        }
        EXPECT_EQ(p.algorithm.c_str(), r.Has("Algorithm") ? r.Get("Algorithm") : "1.2.643.2.2.19");
        EXPECT_EQ(p.digestParamSet.c_str(), r.Has("Digest") ? r.Get("Digest") : "1.2.643.2.2.30.1");
    }
}

}  // namespace
}  // namespace keymend::test

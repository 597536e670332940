#include "commands/repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "commands/certificate_file.h"
#include "commands/commands.h"
#include "container/container.h"
#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/context/key_mask.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "platform/files.h"
#include "platform/random.h"
#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::DataPath;

constexpr const char16_t* kPassword = u"s3cret";

// A fixture key (tests/data/certs): its private value, public key and certificate facts.
struct TestKey {
    Bytes priv, pub;
    CertificateInfo cert;
    std::string certPath;
};

TestKey LoadKey(const std::string& name) {
    TestKey key;
    for (const auto& record : test::LoadVectors("certs/keys.vec", {"Private", "Public"})) {
        if (record.section == name) {
            key.priv = record.Hex("Private");
            key.pub = record.Hex("Public");
        }
    }
    key.certPath = DataPath("certs/" + name + ".der");
    EXPECT_TRUE(LoadCertificateFile(key.certPath.c_str(), key.cert)) << name;
    return key;
}

std::string CertPath(const std::string& file) {
    return DataPath("certs/" + file);
}

struct Use {
    const char* key;
    uint32_t keySpec;  // kKeySpecExchange or kKeySpecSignature
};

// Places d * mask into `field` and fills the key's header entry.
void PlaceKey(const TestKey& key, uint32_t keySpec, ContainerImage& image, bool second) {
    const char* curve = ParamSetCanonicalOidText(key.cert.curveOid.c_str());
    ASSERT_NE(curve, nullptr);
    for (int copy = 0; copy < 2; ++copy) {
        KeyFileRecord& keys = copy == 0 ? image.primary : image.primary2;
        SecureBlob& mask = (copy == 0 ? image.masks : image.masks2).mask;
        SecureBlob& field = second ? keys.secondKey : keys.firstKey;
        ASSERT_TRUE(field.Assign(key.priv.data(), static_cast<uint32_t>(key.priv.size())));
        ASSERT_TRUE(
            ApplyStoredMask(field.data(), field.size(), mask.data(), mask.size(), curve, false));
    }
    KeyProperties& props = second ? image.header.secondKey : image.header.firstKey;
    ASSERT_TRUE(AlgorithmOidForKeyUse(key.cert.algorithmOid.c_str(), keySpec, props.algorithm));
    ASSERT_TRUE(props.publicKeyParamSet.Set(curve));
    ASSERT_TRUE(props.digestParamSet.Set(key.cert.digestOid.c_str()));
    SecureBlob& field = second ? image.primary.secondKey : image.primary.firstKey;
    ASSERT_TRUE(props.publicKeyCheck.Allocate(kPublicKeyCheckSize));
    ASSERT_TRUE(PublicKeyCheckValue(props.publicKeyCheck.data(), field.data(), field.size(),
                                    image.masks.mask.data(), image.masks.mask.size(), curve, true));
}

// Builds a container of one or two keys through the container store, as the import does.
std::string BuildContainer(const std::string& reader, const char* name, const char16_t* password,
                           const std::vector<Use>& uses) {
    std::string folder;
    ContainerImagePtr image = CreateContainerImage();
    TestKey first = LoadKey(uses[0].key);
    for (SecureBlob* mask : {&image->masks.mask, &image->masks2.mask}) {
        EXPECT_TRUE(mask->Allocate(static_cast<uint32_t>(first.priv.size())));
        EXPECT_TRUE(RandomBytes(mask->size(), mask->data()));
    }
    PlaceKey(first, uses[0].keySpec, *image, false);
    EXPECT_TRUE(WriteContainer(*image, reader.c_str(), password, name, kWriteNew, &folder));
    if (uses.size() == 2) {
        ContainerImagePtr opened = OpenContainerStrict(folder.c_str(), password);
        EXPECT_NE(opened, nullptr);
        if (opened == nullptr) return folder;
        PlaceKey(LoadKey(uses[1].key), uses[1].keySpec, *opened, true);
        EXPECT_TRUE(WriteContainer(*opened, folder.c_str(), password, name, kWriteRewrite));
    }
    return folder;
}

using Snapshot = std::map<std::string, Bytes>;
Snapshot TakeSnapshot(const std::string& folder) {
    Snapshot s;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        s[entry.path().filename().string()] = test::ReadFileBytes(entry.path().string());
    }
    return s;
}

Bytes PublicKey(const SecureBlob& key, const SecureBlob& mask, const char* curve) {
    Bytes out(2 * key.size());
    EXPECT_TRUE(PublicKeyFromPrivate(out.data(), key.data(), key.size(), mask.data(), mask.size(),
                                     curve, true));
    return out;
}

// Opens the repaired container strictly and checks that both copies give each key's public key
// on the key's real curve. Returns the image for further checks.
ContainerImagePtr ExpectKeysIntact(const std::string& folder, const char16_t* password,
                                   const std::vector<const char*>& keysInOrder) {
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
    EXPECT_NE(image, nullptr) << "repaired container does not open strictly";
    if (image == nullptr) return image;
    for (size_t i = 0; i < keysInOrder.size(); ++i) {
        TestKey key = LoadKey(keysInOrder[i]);
        const char* curve = ParamSetCanonicalOidText(key.cert.curveOid.c_str());
        for (int copy = 0; copy < 2; ++copy) {
            const KeyFileRecord& keys = copy == 0 ? image->primary : image->primary2;
            const SecureBlob& mask = (copy == 0 ? image->masks : image->masks2).mask;
            const SecureBlob& value = i == 0 ? keys.firstKeyDecrypted : keys.secondKeyDecrypted;
            EXPECT_EQ(test::ToHex(PublicKey(value, mask, curve)), test::ToHex(key.pub))
                << keysInOrder[i] << " copy " << copy;
        }
    }
    EXPECT_EQ(image->primary.secondKey.empty(), keysInOrder.size() == 1);
    EXPECT_EQ(image->primary2.secondKey.empty(), keysInOrder.size() == 1);
    return image;
}

RepairOptions Options(const std::string& folder, const char* certEx, const char* certSg) {
    RepairOptions o;
    o.contFolder = folder.c_str();
    o.certEx = certEx;
    o.certSg = certSg;
    o.password = kPassword;
    return o;
}

void FlipByte(const std::string& path, size_t offsetFromEnd) {
    Bytes b = test::ReadFileBytes(path);
    ASSERT_GT(b.size(), offsetFromEnd);
    b[b.size() - 1 - offsetFromEnd] ^= 0x5A;
    ASSERT_TRUE(test::WriteFileBytes(path, b));
}

TEST(Repair, RebuildsDamagedContainers) {
    enum Damage { kNoHeader, kGarbledHeader, kCorruptPrimary, kCorruptMasks, kNoName, kCutPrimary };
    struct Case {
        const char* what;
        std::vector<Use> uses;
        Damage damage;
        std::string certEx, certSg;
        std::vector<const char*> order;  // keys as the repaired header holds them
        bool remasked;
    };
    const Case cases[] = {
        {"2001 exchange key, no header",
         {{"g01_a", kKeySpecExchange}},
         kNoHeader,
         CertPath("g01_a.der"),
         "",
         {"g01_a"},
         true},
        {"2012 signature key, garbled header, PEM with curve only",
         {{"g12_256_tca", kKeySpecSignature}},
         kGarbledHeader,
         "",
         CertPath("g12_256_tca.pem"),
         {"g12_256_tca"},
         true},
        {"512-bit pair, primary.key corrupt, PKCS#7",
         {{"g12_512_a", kKeySpecExchange}, {"g12_512_c", kKeySpecSignature}},
         kCorruptPrimary,
         CertPath("g12_512_a.pem"),
         CertPath("g12_512_c.p7b.pem"),
         {"g12_512_a", "g12_512_c"},
         true},
        {"256-bit pair stored signature first, masks.key corrupt",
         {{"g12_256_tca", kKeySpecSignature}, {"g12_256_b", kKeySpecExchange}},
         kCorruptMasks,
         CertPath("g12_256_b.der"),
         CertPath("g12_256_tca.der"),
         {"g12_256_tca", "g12_256_b"},
         true},
        {"no name.key",
         {{"g01_xa", kKeySpecExchange}},
         kNoName,
         CertPath("g01_xa.pem"),
         "",
         {"g01_xa"},
         true},
        {"2001 pair, only the signature certificate, no header",
         {{"g01_a", kKeySpecExchange}, {"g01_b", kKeySpecSignature}},
         kNoHeader,
         "",
         CertPath("g01_b.der"),
         {"g01_a", "g01_b"},
         false},
        {"primary.key lost its second key, no header",
         {{"g01_a", kKeySpecExchange}, {"g01_b", kKeySpecSignature}},
         kCutPrimary,
         CertPath("g01_a.der"),
         CertPath("g01_b.der"),
         {"g01_a", "g01_b"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        std::string folder = BuildContainer(dir.path(), "abcdefghij", kPassword, c.uses);
        switch (c.damage) {
            case kNoHeader:
                std::filesystem::remove(folder + "/header.key");
                break;
            case kGarbledHeader:
                FlipByte(folder + "/header.key", 40);
                break;
            case kCorruptPrimary:
                FlipByte(folder + "/primary.key", 3);
                break;
            case kCorruptMasks:
                FlipByte(folder + "/masks.key", 20);
                break;
            case kNoName:
                std::filesystem::remove(folder + "/name.key");
                break;
            case kCutPrimary: {
                Bytes file = test::ReadFileBytes(folder + "/primary.key");
                KeyFileRecord record;
                SecureBlob encoded;
                ASSERT_TRUE(DecodeKeyFile(file.data(), file.size(), record));
                record.secondKey.Reset();
                ASSERT_TRUE(EncodeKeyFile(record, encoded));
                ASSERT_TRUE(
                    test::WriteFileBytes(folder + "/primary.key",
                                         Bytes(encoded.data(), encoded.data() + encoded.size())));
                std::filesystem::remove(folder + "/header.key");
                break;
            }
        }
        ASSERT_EQ(OpenContainerStrict(folder.c_str(), kPassword), nullptr);
        ContainerImagePtr before = OpenContainerTolerant(
            folder.c_str(), kPassword,
            DefaultParamSet(ProviderTypeOfOid(LoadKey(c.order[0]).cert.algorithmOid.c_str())),
            ProviderTypeOfOid(LoadKey(c.order[0]).cert.algorithmOid.c_str()), false);
        ASSERT_NE(before, nullptr);

        RepairOptions o = Options(folder, c.certEx.empty() ? nullptr : c.certEx.c_str(),
                                  c.certSg.empty() ? nullptr : c.certSg.c_str());
        ASSERT_TRUE(RepairContainer(o));
        ContainerImagePtr after = ExpectKeysIntact(folder, kPassword, c.order);
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(std::string(after->name.data(), after->name.data() + after->name.size()),
                  c.damage == kNoName ? "abcdefgh" : "abcdefghij");
        // Fresh salts for both copies. Fresh, distinct masks when every key had its own
        // certificate; otherwise both copies keep the source copy's mask.
        auto hex = [](const SecureBlob& b) { return test::ToHex(b.data(), b.size()); };
        EXPECT_NE(hex(after->masks.salt), hex(after->masks2.salt));
        EXPECT_NE(hex(after->masks.salt), hex(before->masks.salt));
        if (c.remasked) {
            EXPECT_NE(hex(after->masks.mask), hex(after->masks2.mask));
            for (const SecureBlob* old : {&before->masks.mask, &before->masks2.mask}) {
                EXPECT_NE(hex(after->masks.mask), hex(*old));
                EXPECT_NE(hex(after->masks2.mask), hex(*old));
            }
        } else {
            EXPECT_EQ(hex(after->masks.mask), hex(before->masks.mask));
            EXPECT_EQ(hex(after->masks2.mask), hex(before->masks.mask));
        }
    }
}

TEST(Repair, FlagsAndAlgorithmsFollowPurposeAndOptions) {
    struct Case {
        const char* what;
        Use use;
        bool asExchange;  // certificate given as -certex (else -certsg)
        bool exportableEx, exportableSg, dhAllowed;
        const char16_t* password;
        std::vector<uint8_t> keyFlags;
        const char* algorithm;
        uint8_t headerFlags;
    };
    const Case cases[] = {
        {"exchange",
         {"g01_a", kKeySpecExchange},
         true,
         false,
         true,
         true,
         kPassword,
         {0x20},
         "1.2.643.2.2.98",
         0xC0},
        {"exportable exchange",
         {"g01_a", kKeySpecExchange},
         true,
         true,
         false,
         false,
         kPassword,
         {0xA0},
         "1.2.643.2.2.98",
         0xC0},
        {"2001 signature, dh ignored",
         {"g01_b", kKeySpecSignature},
         false,
         true,
         false,
         true,
         u"",
         {},
         "1.2.643.2.2.19",
         0x40},
        {"exportable 2001 signature",
         {"g01_b", kKeySpecSignature},
         false,
         false,
         true,
         true,
         kPassword,
         {0x80},
         "1.2.643.2.2.19",
         0xC0},
        {"2012 signature, dh",
         {"g12_256_b", kKeySpecSignature},
         false,
         false,
         false,
         true,
         kPassword,
         {0x08},
         "1.2.643.7.1.1.1.1",
         0xC0},
        {"exportable 512 signature, dh",
         {"g12_512_a", kKeySpecSignature},
         false,
         false,
         true,
         true,
         kPassword,
         {0x88},
         "1.2.643.7.1.1.1.2",
         0xC0},
        // A key stored as a signature key is set up as exchange key by -certex.
        {"signature key repaired as exchange",
         {"g12_512_a", kKeySpecSignature},
         true,
         false,
         false,
         false,
         kPassword,
         {0x20},
         "1.2.643.7.1.1.6.2",
         0xC0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        std::string folder = BuildContainer(dir.path(), "flags", c.password, {c.use});
        std::string cert = CertPath(std::string(c.use.key) + ".der");
        RepairOptions o = Options(folder, c.asExchange ? cert.c_str() : nullptr,
                                  c.asExchange ? nullptr : cert.c_str());
        o.password = c.password;
        o.exportableEx = c.exportableEx;
        o.exportableSg = c.exportableSg;
        o.dhAllowed = c.dhAllowed;
        ASSERT_TRUE(RepairContainer(o));
        ContainerImagePtr image = ExpectKeysIntact(folder, c.password, {c.use.key});
        ASSERT_NE(image, nullptr);
        const KeyProperties& props = image->header.firstKey;
        EXPECT_EQ(Bytes(props.flags.data(), props.flags.data() + props.flags.size()), c.keyFlags);
        EXPECT_STREQ(props.algorithm.c_str(), c.algorithm);
        EXPECT_EQ(
            Bytes(props.certificate.data(), props.certificate.data() + props.certificate.size()),
            test::ReadFileBytes(cert));
        ASSERT_EQ(image->header.flags.size(), 1u);
        EXPECT_EQ(image->header.flags[0], c.headerFlags);
        EXPECT_EQ(image->header.passwordCheck.empty(), c.password[0] == 0);
        EXPECT_TRUE(image->header.secondKey.publicKeyCheck.empty());
    }
}

TEST(Repair, RefusesAndLeavesTheFolderUntouched) {
    test::TempDir dir;
    const std::string folder =
        BuildContainer(dir.path(), "refuse", kPassword,
                       {{"g01_a", kKeySpecExchange}, {"g01_b", kKeySpecSignature}});
    std::filesystem::remove(folder + "/header.key");
    const Snapshot original = TakeSnapshot(folder);
    const std::string a = CertPath("g01_a.der"), b = CertPath("g01_b.der");
    const std::string other = CertPath("g01_xa.der"), curve = CertPath("g01_test.der");
    const std::string notCert = CertPath("keys.vec"), family = CertPath("g12_256_b.der");
    struct Case {
        const char* what;
        const char* certEx;
        const char* certSg;
        const char16_t* password;
    };
    const Case cases[] = {
        {"no certificate", nullptr, nullptr, kPassword},
        {"certificate of another key", other.c_str(), nullptr, kPassword},
        {"signature certificate of another key", a.c_str(), other.c_str(), kPassword},
        {"file that is not a certificate", notCert.c_str(), b.c_str(), kPassword},
        {"missing certificate file", (dir / "none.der").c_str(), nullptr, kPassword},
        {"curve outside the accepted sets", curve.c_str(), nullptr, kPassword},
        {"certificates of two families", a.c_str(), family.c_str(), kPassword},
        {"wrong password", a.c_str(), b.c_str(), u"wrong"},
        {"empty password", a.c_str(), b.c_str(), u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Settings settings;
        settings.contFolder = folder.c_str();
        settings.certEx = c.certEx;
        settings.certSg = c.certSg;
        std::char_traits<char16_t>::copy(settings.containerPassword, c.password,
                                         std::char_traits<char16_t>::length(c.password) + 1);
        CommandResult r = RunRepair(settings);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.messageId, 111);
        EXPECT_EQ(TakeSnapshot(folder), original);
    }
    // With the right certificates and password it succeeds through the same entry.
    Settings settings;
    settings.contFolder = folder.c_str();
    settings.certEx = a.c_str();
    std::char_traits<char16_t>::copy(settings.containerPassword, kPassword, 7);
    EXPECT_TRUE(RunRepair(settings).ok);
    ExpectKeysIntact(folder, kPassword, {"g01_a", "g01_b"});
}

TEST(Repair, ExtendedHeaderIs3075Bytes) {
    test::TempDir dir;
    std::string folder =
        BuildContainer(dir.path(), "ext", kPassword,
                       {{"g12_512_a", kKeySpecExchange}, {"g12_512_c", kKeySpecSignature}});
    std::string ex = CertPath("g12_512_a.der"), sg = CertPath("g12_512_c.der");
    RepairOptions o = Options(folder, ex.c_str(), sg.c_str());
    o.extendHeader = true;
    ASSERT_TRUE(RepairContainer(o));
    EXPECT_EQ(std::filesystem::file_size(folder + "/header.key"), 3075u);
    ExpectKeysIntact(folder, kPassword, {"g12_512_a", "g12_512_c"});
}

// Two keys on curves with different orders; only one has its certificate. The other one must
// survive on its own curve in both copies.
TEST(Repair, KeepsAKeyWhoseCurveNoCertificateConfirms) {
    for (bool certifyFirst : {true, false}) {
        SCOPED_TRACE(certifyFirst ? "exchange certificate only" : "signature certificate only");
        test::TempDir dir;
        std::string folder =
            BuildContainer(dir.path(), "twocurve", kPassword,
                           {{"g01_a", kKeySpecExchange}, {"g01_b", kKeySpecSignature}});
        std::string ex = CertPath("g01_a.der"), sg = CertPath("g01_b.der");
        ASSERT_TRUE(RepairContainer(Options(folder, certifyFirst ? ex.c_str() : nullptr,
                                            certifyFirst ? nullptr : sg.c_str())));
        // g01_a lies on 1.2.643.2.2.35.1, g01_b on 1.2.643.2.2.35.2.
        ContainerImagePtr image = ExpectKeysIntact(folder, kPassword, {"g01_a", "g01_b"});
        ASSERT_NE(image, nullptr);
        // The header names the certified key's curve for both, as it always has.
        const char* named = certifyFirst ? "1.2.643.2.2.35.1" : "1.2.643.2.2.35.2";
        EXPECT_STREQ(image->header.firstKey.publicKeyParamSet.c_str(), named);
        EXPECT_STREQ(image->header.secondKey.publicKeyParamSet.c_str(), named);
        EXPECT_EQ(image->header.firstKey.certificate.empty(), !certifyFirst);
        EXPECT_EQ(image->header.secondKey.certificate.empty(), certifyFirst);
    }
}

// A rewrite broken at a file operation fails the repair; before the first replacement nothing
// has changed, after it a second repair still restores every key. (Every step of the rewrite
// itself is swept by the container store's tests.)
TEST(Repair, FailedRewriteLeavesKeysRecoverable) {
    test::TempDir dir;
    std::string folder =
        BuildContainer(dir.path(), "faults", kPassword,
                       {{"g01_a", kKeySpecExchange}, {"g01_b", kKeySpecSignature}});
    std::filesystem::remove(folder + "/header.key");
    std::string ex = CertPath("g01_a.der"), sg = CertPath("g01_b.der");
    const std::pair<FileOp, uint32_t> faults[] = {{FileOp::kWrite, 3},
                                                  {FileOp::kFlush, 6},
                                                  {FileOp::kReplace, 1},
                                                  {FileOp::kReplace, 2},
                                                  {FileOp::kReplace, 4}};
    for (auto [op, n] : faults) {
        SCOPED_TRACE(testing::Message() << "operation " << static_cast<int>(op) << " #" << n);
        const Snapshot before = TakeSnapshot(folder);
        SetFileFaultForTesting(op, n);
        bool ok = RepairContainer(Options(folder, ex.c_str(), sg.c_str()));
        SetFileFaultForTesting(op, 0);
        ASSERT_FALSE(ok);
        if (op != FileOp::kReplace || n == 1) {
            EXPECT_EQ(TakeSnapshot(folder), before);
        } else {
            ASSERT_TRUE(RepairContainer(Options(folder, ex.c_str(), sg.c_str())));
            ExpectKeysIntact(folder, kPassword, {"g01_a", "g01_b"});
        }
    }
    // A failing random source stops the repair before anything is written.
    const Snapshot before = TakeSnapshot(folder);
    SetRandomSourceForTesting([](uint8_t*, size_t) { return false; });
    bool ok = RepairContainer(Options(folder, ex.c_str(), sg.c_str()));
    SetRandomSourceForTesting(nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(TakeSnapshot(folder), before);
}

TEST(Repair, FolderFallbackName) {
    EXPECT_EQ(FolderFallbackName("/tmp/r/abcdefgh.000"), "abcdefgh");
    EXPECT_EQ(FolderFallbackName("/tmp/r/abcdefgh.000//"), "abcdefgh");
    EXPECT_EQ(FolderFallbackName("abc.001"), "abc");
    EXPECT_EQ(FolderFallbackName("/tmp/r/.000"), "");
    EXPECT_EQ(FolderFallbackName("/tmp/r/abc"), "");
}

// The command end to end: the two-curve case through -kvrepair, then -kvpublic without a header
// recovers both public keys on their own curves; a refusal prints message 111.
TEST(RepairCommand, RepairsThenExportsPublicKeys) {
    test::TempDir dir;
    std::string folder = BuildContainer(
        dir.path(), "e2e", kPassword, {{"g01_a", kKeySpecExchange}, {"g01_b", kKeySpecSignature}});
    std::filesystem::remove(folder + "/header.key");
    const Snapshot damaged = TakeSnapshot(folder);
    test::RunResult refused = test::RunKeymend({"-kvrepair", "-contfolder", folder, "-certsg",
                                                CertPath("g01_xa.pem"), "-passkv", "s3cret"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out,
              "Unable to repair Kalvion CSP key container.\nFailed while executing.\n");
    EXPECT_EQ(TakeSnapshot(folder), damaged);

    test::RunResult repaired =
        test::RunKeymend({"-kvrepair", "-contfolder", folder + "/", "-certex",
                          CertPath("g01_a.p7b"), "-passkv", "s3cret"});
    EXPECT_EQ(repaired.exitCode, 0) << repaired.out;
    EXPECT_EQ(repaired.out, "Successfully finished.\n");

    std::filesystem::remove(folder + "/header.key");
    test::RunResult exported =
        test::RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "s3cret", "-provtype",
                          "75", "-oid", "1.2.643.2.2.35.1", "-oid2", "1.2.643.2.2.35.2"});
    EXPECT_EQ(exported.exitCode, 0) << exported.out;
    Bytes public1 = {0x04, 0x40}, public2 = {0x04, 0x40};
    Bytes a = LoadKey("g01_a").pub, b = LoadKey("g01_b").pub;
    public1.insert(public1.end(), a.begin(), a.end());
    public2.insert(public2.end(), b.begin(), b.end());
    EXPECT_EQ(test::ReadFileBytes(folder + "/public1"), public1);
    EXPECT_EQ(test::ReadFileBytes(folder + "/public2"), public2);
}

}  // namespace
}  // namespace keymend

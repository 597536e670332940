// -kvrepair: containers rebuilt from the certificates of their keys, the header it writes,
// refusals that leave the folder as it was, and the command through the binary.
#include "commands/repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "commands/certificate_file.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

template <typename Blob>
Bytes ToBytes(const Blob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

// A key of tests/data/certs: the pair on the curve its certificate names, and the certificate.
struct CertKey {
    TestKey pair;
    CertificateInfo cert;
};

CertKey LoadCertKey(const std::string& name) {
    CertKey key;
    EXPECT_TRUE(LoadCertificateFile(DataPath("certs/" + name + ".der").c_str(), key.cert));
    const char* curve = ParamSetCanonicalOidText(key.cert.curveOid.c_str());
    key.pair.curve = curve != nullptr ? curve : "";
    for (const VectorRecord& r : LoadVectors("certs/keys.vec", {"Private", "Public"})) {
        if (r.section == name) key.pair = {key.pair.curve, r.Hex("Private"), r.Hex("Public")};
    }
    EXPECT_FALSE(key.pair.d.empty() || key.pair.curve.empty()) << name;
    return key;
}

std::vector<std::string> KeyNames(const std::string& keys) {
    std::vector<std::string> names;
    for (const std::string& word : Words(keys)) names.push_back(word.substr(0, word.find(':')));
    return names;
}

// A container named "abcdefghij" holding `keys` ("name:ex name:sg") in that order.
std::string Build(const std::string& reader, const std::string& keys,
                  const std::u16string& password) {
    std::string folder;
    for (const std::string& word : Words(keys)) {
        const CertKey key = LoadCertKey(word.substr(0, word.find(':')));
        const uint32_t spec = word.ends_with(":ex") ? kKeySpecExchange : kKeySpecSignature;
        OidText algorithm;
        EXPECT_TRUE(AlgorithmOidForKeyUse(key.cert.algorithmOid.c_str(), spec, algorithm));
        if (folder.empty()) {
            folder =
                MakeContainer(reader, "abcdefghij", key.pair, algorithm.c_str(), password.c_str());
        } else {
            EXPECT_TRUE(AddSecondKey(folder, key.pair, algorithm.c_str(), password.c_str()));
        }
    }
    return folder;
}

void DropSecondKey(const std::string& path) {
    const Bytes file = ReadFileBytes(path);
    KeyFileRecord record;
    SecureBlob encoded;
    ASSERT_TRUE(DecodeKeyFile(file.data(), file.size(), record));
    record.secondKey.Reset();
    ASSERT_TRUE(EncodeKeyFile(record, encoded));
    ASSERT_TRUE(WriteFileBytes(path, ToBytes(encoded)));
}

// The container opens strictly and both copies give each key's public key on its own curve.
ContainerImagePtr ExpectKeysIntact(const std::string& folder, const std::u16string& password,
                                   const std::vector<std::string>& names) {
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password.c_str());
    EXPECT_NE(image, nullptr) << "repaired container does not open strictly";
    if (image == nullptr) return image;
    for (size_t i = 0; i < names.size(); ++i) {
        const TestKey pair = LoadCertKey(names[i]).pair;
        for (int copy = 0; copy < 2; ++copy) {
            const KeyFileRecord& keys = copy == 0 ? image->primary : image->primary2;
            const SecureBlob& mask = (copy == 0 ? image->masks : image->masks2).mask;
            const SecureBlob& value = i == 0 ? keys.firstKeyDecrypted : keys.secondKeyDecrypted;
            Bytes pub(2 * value.size());
            EXPECT_TRUE(PublicKeyFromPrivate(pub.data(), value.data(), value.size(), mask.data(),
                                             mask.size(), pair.curve.c_str(), true));
            EXPECT_EQ(ToHex(pub), ToHex(pair.publicKey)) << names[i] << " copy " << copy;
        }
    }
    EXPECT_EQ(image->primary.secondKey.empty(), names.size() == 1);
    EXPECT_EQ(image->primary2.secondKey.empty(), names.size() == 1);
    EXPECT_EQ(image->header.secondKey.publicKeyCheck.empty(), names.size() == 1);
    return image;
}

TEST(Repair, RebuildsContainers) {
    for (const VectorRecord& c :
         LoadVectors("commands/repair.vec",
                     {"Case", "Keys", "Password", "Damage", "DropSecondKey", "Args", "Remasked",
                      "Name", "HeaderFlags", "KeyFlags", "Algorithm", "Curves", "HeaderSize"})) {
        SCOPED_TRACE(c.Get("Case"));
        TempDir dir;
        const std::string ascii = c.Has("Password") ? c.Get("Password") : "s3cret";
        const std::u16string password(ascii.begin(), ascii.end());
        const std::vector<std::string> names = KeyNames(c.Get("Keys"));
        const std::string folder = Build(dir.path(), c.Get("Keys"), password);
        ASSERT_FALSE(folder.empty());
        if (c.Has("DropSecondKey")) DropSecondKey(folder + "/primary.key");
        if (c.Has("Damage")) {
            DamageFolder(folder, c.Get("Damage"));
            ASSERT_EQ(OpenContainerStrict(folder.c_str(), password.c_str()), nullptr);
        }
        const uint32_t type = ProviderTypeOfOid(LoadCertKey(names[0]).cert.algorithmOid.c_str());
        const ContainerImagePtr before = OpenContainerTolerant(folder.c_str(), password.c_str(),
                                                               DefaultParamSet(type), type, false);
        ASSERT_NE(before, nullptr);

        std::vector<std::string> args{"-kvrepair", "-contfolder", folder, "-passkv", ascii};
        std::set<std::string> certified;
        for (const std::string& word : Words(c.Get("Args"))) {
            args.push_back(word[0] == '-' ? word : DataPath("certs/" + word));
            if (word[0] != '-') certified.insert(word.substr(0, word.find('.')));
        }
        ASSERT_TRUE(RunCommandInProcess(args).ok);
        const ContainerImagePtr after = ExpectKeysIntact(folder, password, names);
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(std::string(after->name.data(), after->name.data() + after->name.size()),
                  c.Has("Name") ? c.Get("Name") : "abcdefghij");
        const auto hex = [](const SecureBlob& b) { return ToHex(b.data(), b.size()); };
        EXPECT_NE(hex(after->masks.salt), hex(after->masks2.salt));
        EXPECT_NE(hex(after->masks.salt), hex(before->masks.salt));
        if (c.Get("Remasked") == "yes") {
            EXPECT_NE(hex(after->masks.mask), hex(after->masks2.mask));
            for (const SecureBlob* old : {&before->masks.mask, &before->masks2.mask}) {
                EXPECT_NE(hex(after->masks.mask), hex(*old));
                EXPECT_NE(hex(after->masks2.mask), hex(*old));
            }
        } else {
            EXPECT_EQ(hex(after->masks.mask), hex(before->masks.mask));
            EXPECT_EQ(hex(after->masks2.mask), hex(before->masks.mask));
        }

        const HeaderRecord& header = after->header;
        EXPECT_EQ(header.passwordCheck.empty(), password.empty());
        std::string curves;
        for (size_t i = 0; i < names.size(); ++i) {
            const KeyProperties& key = i == 0 ? header.firstKey : header.secondKey;
            curves += (i == 0 ? "" : " ") + std::string(key.publicKeyParamSet.c_str());
            const std::string der = DataPath("certs/" + names[i] + ".der");
            EXPECT_EQ(ToBytes(key.certificate),
                      certified.count(names[i]) != 0 ? ReadFileBytes(der) : Bytes{})
                << names[i];
        }
        const std::map<std::string, std::string> listed = {
            {"Curves", curves},
            {"HeaderFlags", ToHex(ToBytes(header.flags))},
            {"KeyFlags", ToHex(ToBytes(header.firstKey.flags))},
            {"Algorithm", header.firstKey.algorithm.c_str()},
            {"HeaderSize", std::to_string(std::filesystem::file_size(folder + "/header.key"))}};
        for (const auto& [field, value] : listed) {
            if (c.Has(field)) {
                EXPECT_EQ(value, c.Get(field)) << field;
            }
        }
    }
}

// Through the binary: each refusal exits with code 1 and message 111 and leaves the folder byte
// for byte as it was; then the repair succeeds, and -kvpublic without a header, told the curves,
// recovers both public keys on their own curves.
TEST(RepairCommand, RefusesThenRepairsAndExports) {
    TempDir dir;
    const std::string folder = Build(dir.path(), "g01_a:ex g01_b:sg", u"s3cret");
    ASSERT_FALSE(folder.empty());
    DamageFolder(folder, "header.key");
    const FolderSnapshot damaged = Snapshot(folder);
    const struct {
        const char* what;
        const char* certificates;
        const char* password;
    } refusals[] = {
        {"certificate of another key", "-certex g01_xa.der", "s3cret"},
        {"signature certificate of another key", "-certex g01_a.der -certsg g01_xa.der", "s3cret"},
        {"PEM certificate of another key", "-certsg g01_xa.pem", "s3cret"},
        {"file that is not a certificate", "-certex keys.vec -certsg g01_b.der", "s3cret"},
        {"missing certificate file", "-certex none.der", "s3cret"},
        {"curve outside the accepted sets", "-certex g01_test.der", "s3cret"},
        {"certificates of two families", "-certex g01_a.der -certsg g12_256_b.der", "s3cret"},
        {"wrong password", "-certex g01_a.der -certsg g01_b.der", "wrong"},
        {"empty password", "-certex g01_a.der -certsg g01_b.der", ""},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"-kvrepair", "-contfolder", folder, "-passkv", c.password};
        for (const std::string& word : Words(c.certificates)) {
            args.push_back(word[0] == '-' ? word : DataPath("certs/" + word));
        }
        const RunResult refused = RunKeymend(args);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.out,
                  "Unable to repair Kalvion CSP key container.\nFailed while executing.\n");
        EXPECT_EQ(Snapshot(folder), damaged);
    }

    // Without a certificate (a line the front end refuses already) the repair refuses as well.
    RepairOptions none;
    none.contFolder = folder.c_str();
    none.password = u"s3cret";
    EXPECT_FALSE(RepairContainer(none));
    EXPECT_EQ(Snapshot(folder), damaged);

    const RunResult repaired = RunKeymend({"-kvrepair", "-contfolder", folder + "/", "-certex",
                                           DataPath("certs/g01_a.p7b"), "-passkv", "s3cret"});
    EXPECT_EQ(repaired.exitCode, 0) << repaired.out;
    EXPECT_EQ(repaired.out, "Successfully finished.\n");
    ExpectKeysIntact(folder, u"s3cret", {"g01_a", "g01_b"});

    DamageFolder(folder, "header.key");
    const RunResult exported =
        RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "s3cret", "-provtype", "75",
                    "-oid", "1.2.643.2.2.35.1", "-oid2", "1.2.643.2.2.35.2"});
    EXPECT_EQ(exported.exitCode, 0) << exported.out;
    EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(LoadCertKey("g01_a").pair.publicKey));
    EXPECT_EQ(ReadFileBytes(folder + "/public2"), PublicFile(LoadCertKey("g01_b").pair.publicKey));
}

TEST(Repair, FolderFallbackName) {
    EXPECT_EQ(FolderFallbackName("/tmp/r/abcdefgh.000"), "abcdefgh");
    EXPECT_EQ(FolderFallbackName("/tmp/r/abcdefgh.000//"), "abcdefgh");
    EXPECT_EQ(FolderFallbackName("abc.001"), "abc");
    EXPECT_EQ(FolderFallbackName("/tmp/r/.000"), "");
    EXPECT_EQ(FolderFallbackName("/tmp/r/abc"), "");
}

}  // namespace
}  // namespace keymend::test

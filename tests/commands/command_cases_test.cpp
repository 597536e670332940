// The commands end to end through the binary, case by case from tests/data/commands/*.vec (the
// fields are described at the top of repair.vec): exit codes, exact messages, folders left byte
// for byte as they were after a failure, and what a success leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "commands/repair.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "hardening/hardening_support.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

template <typename Blob>
Bytes ToBytes(const Blob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

// A key named in a case, on its curve, with its provider type (0 for a PKCS#12 fixture's).
struct CaseKey {
    TestKey pair;
    uint32_t type = 0;
};

CaseKey KeyOf(const std::string& name, uint32_t providerType) {
    static const std::vector<Pkcs12Fixture> fixtures = CommittedPkcs12Fixtures();
    CaseKey key;
    if (name.ends_with(".pfx")) {
        const Pkcs12Fixture* f = FindFixture(fixtures, name);
        if (f != nullptr) key.pair = {f->paramSet, {}, f->publicKey};
    } else if (const size_t slash = name.find('/'); slash != std::string::npos) {
        key = {Key(name.substr(0, slash), std::stoi(name.substr(slash + 1))), providerType};
    }
    for (const VectorRecord& r : LoadVectors("certs/keys.vec", {"Private", "Public"})) {
        if (r.section == name) key.pair = {key.pair.curve, r.Hex("Private"), r.Hex("Public")};
    }
    for (const VectorRecord& r :
         LoadVectors("certs/forms.vec", {"Files", "Algorithm", "Curve", "Digest"})) {
        if (r.section != name) continue;
        const char* curve = ParamSetCanonicalOidText(r.Get("Curve").c_str());
        key.pair.curve = curve != nullptr ? curve : "";
        key.type = ProviderTypeOfOid(r.Get("Algorithm").c_str());
    }
    EXPECT_FALSE(key.pair.curve.empty() || key.pair.publicKey.empty()) << "no key " << name;
    return key;
}

const Bytes kStale = {1, 2, 3};

void Prepare(const std::string& folder, const std::string& what, const FolderSnapshot& oneKey) {
    const auto has = [&](const char* step) { return what.find(step) != std::string::npos; };
    if (has("DropSecondKey")) {
        const Bytes file = ReadFileBytes(folder + "/primary.key");
        KeyFileRecord record;
        SecureBlob encoded;
        ASSERT_TRUE(DecodeKeyFile(file.data(), file.size(), record));
        record.secondKey.Reset();
        ASSERT_TRUE(EncodeKeyFile(record, encoded));
        ASSERT_TRUE(WriteFileBytes(folder + "/primary.key", ToBytes(encoded)));
    }
    for (const char* file : {"primary.key", "masks.key"}) {
        if (has("FirstCopyOneKey")) {
            ASSERT_TRUE(WriteFileBytes(folder + "/" + file, oneKey.at(file)));
        }
    }
    if (has("FlipSecondCheck")) {
        ContainerImagePtr image = CreateContainerImage();
        ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
        image->header.secondKey.publicKeyCheck[0] ^= 1;
        SecureBlob header;
        ASSERT_TRUE(EncodeHeaderFile(image->header, false, header));
        ASSERT_TRUE(WriteFileBytes(folder + "/header.key", ToBytes(header)));
    }
    if (has("BlockPublic1")) {
        fs::remove(folder + "/public1");
        fs::create_directory(folder + "/public1");
    }
}

// The container of a case, named "abcdefghij", in `reader`: its folder ("" when it has none).
std::string Build(const VectorRecord& c, const std::string& reader, const char16_t* password) {
    const auto type = static_cast<uint32_t>(c.Has("ProvType") ? std::stoul(c.Get("ProvType")) : 0);
    std::string folder;
    FolderSnapshot oneKey;
    for (const std::string& word : Words(c.Has("Keys") ? c.Get("Keys") : "")) {
        const CaseKey key = KeyOf(word.substr(0, word.find(':')), type);
        const char* algorithm =
            word.ends_with(":ex") ? ExchangeAlgorithm(key.type) : SignatureAlgorithm(key.type);
        if (folder.empty()) {
            folder = MakeContainer(reader, "abcdefghij", key.pair, algorithm, password);
            oneKey = Snapshot(folder);
        } else {
            EXPECT_TRUE(AddSecondKey(folder, key.pair, algorithm, password));
        }
    }
    if (folder.empty()) return folder;
    if (c.Get("Args").starts_with("-kvpublic")) {
        EXPECT_TRUE(WriteFileBytes(folder + "/public1", kStale));
        EXPECT_TRUE(WriteFileBytes(folder + "/public2", kStale));
    }
    Prepare(folder, c.Has("Prepare") ? c.Get("Prepare") : "", oneKey);
    if (c.Has("Damage")) DamageFolder(folder, c.Get("Damage"));
    return folder;
}

// Every file and folder under `root`, with the contents of the files.
std::map<std::string, Bytes> Tree(const std::string& root) {
    std::map<std::string, Bytes> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        tree[entry.path()] = entry.is_regular_file() ? ReadFileBytes(entry.path()) : Bytes{};
    }
    return tree;
}

// The container opens strictly and both copies give each key's public key on its own curve;
// the header holds what the case lists.
void ExpectIntact(const VectorRecord& c, const std::string& folder, const char16_t* password,
                  const ContainerImage* before) {
    const std::vector<std::string> names = Words(c.Get("Intact"));
    const ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
    ASSERT_NE(image, nullptr) << "the container does not open strictly";
    std::map<std::string, std::string> header;
    for (size_t i = 0; i < names.size(); ++i) {
        const TestKey pair = KeyOf(names[i], 0).pair;
        for (int copy = 0; copy < 2; ++copy) {
            const KeyFileRecord& keys = copy == 0 ? image->primary : image->primary2;
            const SecureBlob& mask = (copy == 0 ? image->masks : image->masks2).mask;
            const SecureBlob& value = i == 0 ? keys.firstKeyDecrypted : keys.secondKeyDecrypted;
            Bytes pub(2 * value.size());
            EXPECT_TRUE(PublicKeyFromPrivate(pub.data(), value.data(), value.size(), mask.data(),
                                             mask.size(), pair.curve.c_str(), true));
            EXPECT_EQ(ToHex(pub), ToHex(pair.publicKey)) << names[i] << " copy " << copy;
        }
        const KeyProperties& key = i == 0 ? image->header.firstKey : image->header.secondKey;
        const std::string space = i == 0 ? "" : " ";
        header["Curves"] += space + key.publicKeyParamSet.c_str();
        header["Algorithms"] += space + key.algorithm.c_str();
        header["KeyFlags"] += space + (key.flags.empty() ? "-" : ToHex(ToBytes(key.flags)));
        if (c.Has("Certificates")) {
            const std::string cert = Words(c.Get("Certificates")).at(i);
            EXPECT_EQ(ToBytes(key.certificate),
                      cert == "-" ? Bytes{} : ReadFileBytes(DataPath("certs/" + cert + ".der")));
        }
    }
    for (const KeyFileRecord* copy : {&image->primary, &image->primary2}) {
        EXPECT_EQ(copy->secondKey.empty(), names.size() == 1);
    }
    EXPECT_EQ(image->header.secondKey.publicKeyCheck.empty(), names.size() == 1);
    EXPECT_EQ(image->header.passwordCheck.empty(), password[0] == 0);
    EXPECT_EQ(std::string(image->name.data(), image->name.data() + image->name.size()),
              c.Has("Name") ? c.Get("Name") : "abcdefghij");
    header["HeaderFlags"] = ToHex(ToBytes(image->header.flags));
    header["HeaderSize"] = std::to_string(fs::file_size(folder + "/header.key"));
    for (const auto& [field, value] : header) {
        if (c.Has(field)) {
            EXPECT_EQ(value, c.Get(field)) << field;
        }
    }
    if (before == nullptr) return;
    // Fresh salts in both copies; fresh, distinct masks, or the first copy's mask in both.
    const auto hex = [](const SecureBlob& b) { return ToHex(b.data(), b.size()); };
    EXPECT_NE(hex(image->masks.salt), hex(image->masks2.salt));
    EXPECT_NE(hex(image->masks.salt), hex(before->masks.salt));
    if (c.Get("Remasked") == "yes") {
        EXPECT_NE(hex(image->masks.mask), hex(image->masks2.mask));
        for (const SecureBlob* old : {&before->masks.mask, &before->masks2.mask}) {
            EXPECT_NE(hex(image->masks.mask), hex(*old));
            EXPECT_NE(hex(image->masks2.mask), hex(*old));
        }
    } else {
        EXPECT_EQ(hex(image->masks.mask), hex(before->masks.mask));
        EXPECT_EQ(hex(image->masks2.mask), hex(before->masks.mask));
    }
}

void RunCases(const std::string& file) {
    const mode_t oldMask = ::umask(022);
    for (const VectorRecord& c : LoadVectors(
             file, {"Case", "Keys", "ProvType", "Password", "Prepare", "Damage", "Args", "Message",
                    "Public1", "Public2", "Intact", "Remasked", "Name", "HeaderFlags", "HeaderSize",
                    "Curves", "Algorithms", "KeyFlags", "Certificates"})) {
        SCOPED_TRACE(c.section + ": " + c.Get("Case"));
        TempDir reader, files;
        const std::string ascii = c.Has("Password") ? c.Get("Password") : "";
        const std::u16string password(ascii.begin(), ascii.end());
        const std::string folder = Build(c, reader.path(), password.c_str());
        ASSERT_FALSE(testing::Test::HasFatalFailure());
        std::vector<std::string> args;
        for (std::string word : Words(c.Get("Args"))) {
            for (const auto& [name, path] :
                 std::map<std::string, std::string>{{"{folder}", folder},
                                                    {"{reader}", reader.path()},
                                                    {"{certs}", DataPath("certs")},
                                                    {"{pkcs12}", DataPath("pkcs12")},
                                                    {"{files}", files.path()}}) {
                if (word.starts_with(name)) word = path + word.substr(name.size());
            }
            args.push_back(word);
        }
        ContainerImagePtr before;
        if (c.Has("Remasked")) {
            const uint32_t type = KeyOf(Words(c.Get("Intact"))[0], 0).type;
            before = OpenContainerTolerant(folder.c_str(), password.c_str(), DefaultParamSet(type),
                                           type, false);
            ASSERT_NE(before, nullptr);
        }
        const std::map<std::string, Bytes> tree = Tree(reader.path());
        const RunResult run = RunKeymend(args);
        if (c.Has("Message")) {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.out, FailureOutput(std::stoi(c.Get("Message"))));
            EXPECT_TRUE(Tree(reader.path()) == tree) << "a failed command changed the folder";
            continue;
        }
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "Successfully finished.\n");
        for (const std::string& name : {std::string("Public1"), std::string("Public2")}) {
            if (!c.Has(name)) continue;
            const std::string path = folder + "/public" + name.back();
            const std::string key = c.Get(name);
            EXPECT_EQ(ReadFileBytes(path),
                      key == "stale" ? kStale : PublicFile(KeyOf(key, 0).pair.publicKey));
            if (key == "stale") continue;
            struct stat st {};
            EXPECT_TRUE(::stat(path.c_str(), &st) == 0 && (st.st_mode & 0044) == 0044)
                << path << " is not an ordinary file, readable by others";
        }
        if (c.Has("Intact")) ExpectIntact(c, folder, password.c_str(), before.get());
    }
    ::umask(oldMask);
}

TEST(RepairCommand, Cases) {
    RunCases("commands/repair.vec");
}

TEST(PublicExportCommand, Cases) {
    RunCases("commands/public_export.vec");
}

TEST(ImportCommand, Cases) {
    RunCases("commands/import.vec");
}

TEST(Repair, RefusesWithoutACertificate) {
    // The front end refuses such a line already; the repair refuses it as well.
    TempDir dir;
    const std::string folder =
        MakeContainer(dir.path(), "none", Key("1.2.643.2.2.35.1"), SignatureAlgorithm(80), u"");
    const FolderSnapshot before = Snapshot(folder);
    RepairOptions options;
    options.contFolder = folder.c_str();
    EXPECT_FALSE(RepairContainer(options));
    EXPECT_EQ(Snapshot(folder), before);
}

TEST(Repair, FolderFallbackName) {
    EXPECT_EQ(FolderFallbackName("/tmp/r/abcdefgh.000"), "abcdefgh");
    EXPECT_EQ(FolderFallbackName("/tmp/r/abcdefgh.000//"), "abcdefgh");
    EXPECT_EQ(FolderFallbackName("abc.001"), "abc");
    EXPECT_EQ(FolderFallbackName("/tmp/r/.000"), "");
    EXPECT_EQ(FolderFallbackName("/tmp/r/abc"), "");
}

// The public key written is the one OpenSSL derives for the same private key: the raw private key
// ends OpenSSL's PKCS#8 encoding, x then y end its public key info.
TEST(PublicExportCommand, MatchesOpenSslForAFreshKey) {
    if (!OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL GOST engine not available";
    const struct {
        const char* algorithm;
        const char* paramset;
        const char* curve;
        uint32_t providerType;
        long width;
    } cases[] = {{"gost2012_256", "A", "1.2.643.2.2.35.1", 80, 32},
                 {"gost2012_512", "B", "1.2.643.7.1.2.1.2.2", 81, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.algorithm);
        TempDir dir;
        const std::string pem = dir / "key.pem";
        const std::string hex = " -outform DER 2>/dev/null | od -An -v -tx1 | tr -d ' \\n'";
        const RunResult gen =
            RunShell("openssl genpkey -engine gost -algorithm " + std::string(c.algorithm) +
                     " -pkeyopt paramset:" + c.paramset + " -out " + pem + " 2>/dev/null && " +
                     "openssl pkey -engine gost -in " + pem + hex + " && echo && " +
                     "openssl pkey -engine gost -pubout -in " + pem + hex);
        ASSERT_EQ(gen.exitCode, 0);
        const size_t newline = gen.out.find('\n');
        const Bytes pkcs8 = FromHex(gen.out.substr(0, newline));
        const Bytes spki = FromHex(gen.out.substr(newline + 1));
        ASSERT_TRUE(pkcs8.size() > size_t(c.width) && spki.size() > size_t(2 * c.width));
        const TestKey key{c.curve, Bytes(pkcs8.end() - c.width, pkcs8.end()),
                          Bytes(spki.end() - 2 * c.width, spki.end())};
        const std::string folder =
            MakeContainer(dir.path(), "ossl", key, SignatureAlgorithm(c.providerType), u"pw");
        ASSERT_FALSE(folder.empty());
        const RunResult run = RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "pw"});
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(key.publicKey));
    }
}

}  // namespace
}  // namespace keymend::test

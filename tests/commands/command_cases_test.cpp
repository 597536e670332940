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
#include "pkcs12/pkcs12.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

template <typename Blob>
Bytes ToBytes(const Blob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

// A key named in a case, on its curve.
TestKey KeyOf(const std::string& name) {
    static const std::vector<Pkcs12Fixture> committed = CommittedPkcs12Fixtures();
    TestKey key;
    const auto find = [&](const std::vector<Pkcs12Fixture>& fixtures) {
        for (const Pkcs12Fixture& f : fixtures) {
            if (f.name == name || f.path == name) key = {f.paramSet, {}, f.publicKey};
        }
        return !key.publicKey.empty();
    };
    if (name.ends_with(".pfx")) {
        find(committed) || find(GeneratedPkcs12Fixtures());
    } else if (const size_t slash = name.find('/'); slash != std::string::npos) {
        key = Key(name.substr(0, slash), std::stoi(name.substr(slash + 1)));
    }
    for (const VectorRecord& r : LoadVectors("certs/keys.vec", {"Private", "Public"})) {
        if (r.section == name) key = {key.curve, r.Hex("Private"), r.Hex("Public")};
    }
    for (const VectorRecord& r :
         LoadVectors("certs/forms.vec", {"Files", "Algorithm", "Curve", "Digest"})) {
        const char* curve = ParamSetCanonicalOidText(r.Get("Curve").c_str());
        if (r.section == name) key.curve = curve != nullptr ? curve : "";
    }
    EXPECT_FALSE(key.curve.empty() || key.publicKey.empty()) << "no key " << name;
    return key;
}

const Bytes kStale = {1, 2, 3};

void Prepare(const std::string& folder, const std::string& what, const FolderSnapshot& oneKey) {
    for (const char* file : {"primary.key", "masks.key"}) {
        if (what.find("FirstCopyOneKey") != std::string::npos) {
            ASSERT_TRUE(WriteFileBytes(folder + "/" + file, oneKey.at(file)));
        }
    }
    if (what.find("FlipSecondCheck") != std::string::npos) {
        ContainerImagePtr image = CreateContainerImage();
        ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
        image->header.secondKey.publicKeyCheck[0] ^= 1;
        SecureBlob header;
        ASSERT_TRUE(EncodeHeaderFile(image->header, false, header));
        ASSERT_TRUE(WriteFileBytes(folder + "/header.key", ToBytes(header)));
    }
}

// The container of a case, in `reader`.
void Build(const VectorRecord& c, const std::string& folder, const char16_t* password,
           uint32_t type) {
    FolderSnapshot oneKey;
    for (const std::string& word : Words(c.Has("Keys") ? c.Get("Keys") : "")) {
        const TestKey key = KeyOf(word.substr(0, word.find(':')));
        const char* algorithm =
            word.ends_with(":ex") ? ExchangeAlgorithm(type) : SignatureAlgorithm(type);
        if (oneKey.empty()) {
            const std::string reader = folder.substr(0, folder.rfind('/'));
            ASSERT_EQ(MakeContainer(reader, "abcdefghij", key, algorithm, password), folder);
            oneKey = Snapshot(folder);
        } else {
            ASSERT_TRUE(AddSecondKey(folder, key, algorithm, password));
        }
    }
    if (oneKey.empty()) return;
    if (c.Get("Args").starts_with("-kvpublic")) {
        EXPECT_TRUE(WriteFileBytes(folder + "/public1", kStale));
        EXPECT_TRUE(WriteFileBytes(folder + "/public2", kStale));
    }
    Prepare(folder, c.Has("Prepare") ? c.Get("Prepare") : "", oneKey);
    if (c.Has("Damage")) DamageFolder(folder, c.Get("Damage"));
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
    const std::vector<std::string> certificates =
        Words(c.Has("Certificates") ? c.Get("Certificates") : "");
    for (size_t i = 0; i < names.size(); ++i) {
        const TestKey pair = KeyOf(names[i]);
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
        header["Digests"] += space + key.digestParamSet.c_str();
        header["EncryptionSets"] += space + key.encryptionParamSet.c_str();
        header["Algorithms"] += space + key.algorithm.c_str();
        header["KeyFlags"] += space + (key.flags.empty() ? "-" : ToHex(ToBytes(key.flags)));
        const std::string own = i < certificates.size() ? certificates[i] : "-";
        const Bytes expected = ReadFileBytes(
            own.find('/') != std::string::npos ? own : DataPath("certs/" + own + ".der"));
        header["Certificates"] += space + (key.certificate.empty()                ? "-"
                                           : ToBytes(key.certificate) == expected ? own
                                                                                  : "another");
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

void RunCases(const std::vector<VectorRecord>& cases) {
    const mode_t oldMask = ::umask(022);
    for (const VectorRecord& c : cases) {
        SCOPED_TRACE(c.section + ": " + c.Get("Case"));
        TempDir reader, files;
        const std::string folder = reader / "abcdefgh.000";
        const std::string ascii = c.Has("Password") ? c.Get("Password") : "";
        const std::u16string password(ascii.begin(), ascii.end());
        const auto type =
            static_cast<uint32_t>(c.Has("ProvType") ? std::stoul(c.Get("ProvType")) : 0);
        Build(c, folder, password.c_str(), type);
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
            before = OpenContainerTolerant(folder.c_str(), password.c_str(), DefaultParamSet(type),
                                           type, false);
            ASSERT_NE(before, nullptr);
        }
        const std::map<std::string, Bytes> tree = Tree(reader.path());
        const RunResult run = RunKeymend(args, {"LANG=C.UTF-8"});
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
                      key == "stale" ? kStale : PublicFile(KeyOf(key).publicKey));
            if (key == "stale") continue;
            struct stat st {};
            EXPECT_TRUE(::stat(path.c_str(), &st) == 0 && (st.st_mode & 0044) == 0044)
                << path << " is not an ordinary file, readable by others";
        }
        if (c.Has("Intact")) ExpectIntact(c, folder, password.c_str(), before.get());
    }
    ::umask(oldMask);
}

std::vector<VectorRecord> Cases(const std::string& file) {
    return LoadVectors(
        file, {"Case",       "Keys",        "ProvType",    "Password", "Prepare", "Damage",
               "Args",       "Message",     "Public1",     "Public2",  "Intact",  "Remasked",
               "Name",       "HeaderFlags", "HeaderSize",  "Curves",   "Digests", "EncryptionSets",
               "Algorithms", "KeyFlags",    "Certificates"});
}

TEST(RepairCommand, Cases) {
    RunCases(Cases("commands/repair.vec"));
}

TEST(PublicExportCommand, Cases) {
    RunCases(Cases("commands/public_export.vec"));
}

TEST(ImportCommand, Cases) {
    RunCases(Cases("commands/import.vec"));
}

// Every PKCS#12 fixture goes into a new container, alternately as signature and as exchange key.
// A file whose MAC is refused imports with -noMACVerify; one that needs key meshing fails with
// -noKVKM. The certificate of the key is the one OpenSSL lists for the file.
void ImportEach(const std::vector<Pkcs12Fixture>& fixtures, bool exchange) {
    TempDir certificates;
    std::vector<VectorRecord> cases;
    for (const Pkcs12Fixture& f : fixtures) {
        exchange = !exchange;
        const uint32_t type = ProviderTypeOfOid(f.algorithm.c_str());
        std::string args = "-p12tokv -rdrfolder {reader} -contname abcdefghij -infile " + f.path +
                           (exchange ? " -ex" : " -sg") + " -passkv 12345678";
        if (!f.password.empty()) args += " -passp12 " + f.password;
        if (f.expect == "mac" || f.expect == "meshing") {
            const std::string option = f.expect == "mac" ? "" : " -noKVKM";
            cases.push_back(
                {"Refused",
                 {{"Case", f.name + option}, {"Args", args + option}, {"Message", "103"}}});
        }
        const std::vector<Bytes> listed = OpenSslCertificates(f);
        std::string certificate = f.certificate == 0 ? "-" : "";
        if (f.certificate != 0 && !listed.empty()) {
            certificate = certificates / f.name;
            EXPECT_TRUE(WriteFileBytes(certificate, listed.at(f.certificate - 1u)));
        }
        cases.push_back(
            {"Imported",
             {{"Case", f.name},
              {"Args", args + (f.expect == "mac" ? " -noMACVerify" : "")},
              {"Password", "12345678"},
              {"Intact", f.path},
              {"HeaderFlags", "c0"},  // built, with a password
              {"KeyFlags", exchange ? "a0" : "80"},
              {"Algorithms", exchange ? ExchangeAlgorithm(type) : SignatureAlgorithm(type)},
              {"Curves", f.paramSet},
              {"Digests", f.digestSet},
              {"EncryptionSets", DefaultParamSet(type)},
              {"Certificates", certificate}}});
        if (certificate.empty()) cases.back().fields.erase("Certificates");  // no OpenSSL
    }
    RunCases(cases);
}

TEST(ImportCommand, CommittedFilesImportWithBothKeyUses) {
    ImportEach(CommittedPkcs12Fixtures(), true);
}

TEST(ImportCommand, FreshOpenSslFilesImport) {
    if (GeneratedPkcs12Fixtures().empty()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    ImportEach(GeneratedPkcs12Fixtures(), false);
}

// A file with a certificate and no key: no certificate can be matched against a key.
TEST(ImportCommand, CertificateWithoutAKeyCreatesNoContainer) {
    if (!OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    TempDir dir;
    const std::string pfx = dir / "cert-only.pfx";
    ASSERT_EQ(
        RunShell("openssl pkcs12 -export -engine gost -nokeys -in " + DataPath("certs/g01_a.pem") +
                 " -certpbe gost89 -macalg md_gost12_512 " + "-passout pass:x -out " + pfx)
            .exitCode,
        0);
    RunCases(
        {{"Refused",
          {{"Case", "certificate only"},
           {"Args", "-p12tokv -rdrfolder {reader} -contname a -sg -infile " + pfx + " -passp12 x"},
           {"Message", "103"}}}});
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

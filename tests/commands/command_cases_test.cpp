// The commands end to end through the binary, case by case from tests/data/commands/*.vec (the
// fields are described at the top of repair.vec): exit codes, exact messages, folders left byte
// for byte as they were after a failure, and what a success leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "commands/repair.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/ec/curve.h"
#include "hardening/hardening_support.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

// A key named in a case, on its curve; "curve=d=public" (hex) gives it in place.
TestKey KeyOf(const std::string& name) {
    static const std::vector<Pkcs12Fixture> fixtures = CommittedPkcs12Fixtures();
    const size_t slash = name.find('/'), equals = name.find('=');
    TestKey key;
    if (equals != std::string::npos) {
        const size_t second = name.find('=', equals + 1);
        key = {name.substr(0, equals), FromHex(name.substr(equals + 1, second - equals - 1)),
               FromHex(name.substr(second + 1))};
    } else if (const Pkcs12Fixture* f =
                   name.ends_with(".pfx") ? FindFixture(fixtures, name) : nullptr) {
        key = {f->paramSet, {}, f->publicKey};
    } else if (slash != std::string::npos) {
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

// The container of a case: built, changed as Prepare says, damaged.
void Build(const VectorRecord& c, const std::string& folder, const char16_t* password) {
    const uint32_t type =
        c.Has("ProvType") ? static_cast<uint32_t>(std::stoul(c.Get("ProvType"))) : 0;
    const std::string prepare = c.Has("Prepare") ? c.Get("Prepare") : "";
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
    if (prepare.find("FirstCopyOneKey") != std::string::npos) {
        ASSERT_TRUE(WriteFileBytes(folder + "/primary.key", oneKey.at("primary.key")));
        ASSERT_TRUE(WriteFileBytes(folder + "/masks.key", oneKey.at("masks.key")));
    }
    if (prepare.find("FlipSecondCheck") != std::string::npos) {
        ContainerImagePtr image = CreateContainerImage();
        ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
        image->header.secondKey.publicKeyCheck[0] ^= 1;
        SecureBlob header;
        ASSERT_TRUE(EncodeHeaderFile(image->header, false, header));
        ASSERT_TRUE(WriteFileBytes(folder + "/header.key", BlobBytes(header)));
    }
    if (c.Get("Args").starts_with("-kvpublic")) {
        ASSERT_TRUE(WriteFileBytes(folder + "/public1", kStale));
        ASSERT_TRUE(WriteFileBytes(folder + "/public2", kStale));
    }
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
// the header and the masks are what the case lists.
void ExpectIntact(const VectorRecord& c, const std::string& folder, const char16_t* password,
                  const ContainerImage* before) {
    const std::vector<std::string> names = Words(c.Get("Intact"));
    const std::vector<std::string> certificates =
        Words(c.Has("Certificates") ? c.Get("Certificates") : "");
    const ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
    ASSERT_NE(image, nullptr) << "the container does not open strictly";
    std::map<std::string, std::string> actual;
    for (size_t i = 0; i < names.size(); ++i) {
        const TestKey pair = KeyOf(names[i]);
        for (int copy = 0; copy < 2; ++copy) {
            const KeyFileRecord& keys = copy == 0 ? image->primary : image->primary2;
            const SecureBlob& mask = (copy == 0 ? image->masks : image->masks2).mask;
            const SecureBlob& value = i == 0 ? keys.firstKeyDecrypted : keys.secondKeyDecrypted;
            EXPECT_EQ(ToHex(PublicOf(value, mask, pair.curve)), ToHex(pair.publicKey))
                << names[i] << " copy " << copy;
        }
        const KeyProperties& key = i == 0 ? image->header.firstKey : image->header.secondKey;
        const std::string space = i == 0 ? "" : " ";
        actual["Curves"] += space + key.publicKeyParamSet.c_str();
        actual["Digests"] += space + key.digestParamSet.c_str();
        actual["EncryptionSets"] += space + key.encryptionParamSet.c_str();
        actual["Algorithms"] += space + key.algorithm.c_str();
        actual["KeyFlags"] += space + (key.flags.empty() ? "-" : ToHex(BlobBytes(key.flags)));
        // A certificate is a name of tests/data/certs or "=" and the DER in hex.
        const std::string own = i < certificates.size() ? certificates[i] : "-";
        const Bytes der = own.starts_with("=") ? FromHex(own.substr(1))
                                               : ReadFileBytes(DataPath("certs/" + own + ".der"));
        actual["Certificates"] += space + (key.certificate.empty()             ? "-"
                                           : BlobBytes(key.certificate) == der ? own
                                                                               : "another");
    }
    EXPECT_EQ(image->primary.secondKey.empty(), names.size() == 1);
    EXPECT_EQ(image->primary2.secondKey.empty(), names.size() == 1);
    EXPECT_EQ(image->header.secondKey.publicKeyCheck.empty(), names.size() == 1);
    EXPECT_EQ(image->header.passwordCheck.empty(), password[0] == 0);
    EXPECT_EQ(std::string(image->name.data(), image->name.data() + image->name.size()),
              c.Has("Name") ? c.Get("Name") : "abcdefghij");
    actual["HeaderFlags"] = ToHex(BlobBytes(image->header.flags));
    actual["HeaderSize"] = std::to_string(fs::file_size(folder + "/header.key"));
    if (before != nullptr) {
        // Fresh salts; fresh, distinct masks, or both copies keep the first copy's mask.
        const auto hex = [](const SecureBlob& b) { return ToHex(b.data(), b.size()); };
        const std::string mask = hex(image->masks.mask), mask2 = hex(image->masks2.mask);
        const std::string old = hex(before->masks.mask), old2 = hex(before->masks2.mask);
        EXPECT_NE(hex(image->masks.salt), hex(image->masks2.salt));
        EXPECT_NE(hex(image->masks.salt), hex(before->masks.salt));
        const bool fresh =
            mask != mask2 && mask != old && mask != old2 && mask2 != old && mask2 != old2;
        actual["Remasked"] = fresh ? "yes" : mask == old && mask2 == old ? "no" : "partly";
    }
    for (const auto& [field, value] : actual) {
        if (c.Has(field)) {
            EXPECT_EQ(value, c.Get(field)) << field;
        }
    }
}

void RunCase(const VectorRecord& c) {
    SCOPED_TRACE(c.section + ": " + c.Get("Case"));
    TempDir reader, files;
    const std::string folder = reader / "abcdefgh.000";  // also where -contname abcdefghij goes
    const std::string ascii = c.Has("Password") ? c.Get("Password") : "";
    const std::u16string password(ascii.begin(), ascii.end());
    ASSERT_NO_FATAL_FAILURE(Build(c, folder, password.c_str()));
    const std::map<std::string, std::string> places = {{"{folder}", folder},
                                                       {"{reader}", reader.path()},
                                                       {"{certs}", DataPath("certs")},
                                                       {"{pkcs12}", DataPath("pkcs12")},
                                                       {"{data}", DataPath("commands")},
                                                       {"{files}", files.path()}};
    const auto expand = [&](const std::string& field) {
        std::vector<std::string> args = Words(c.Get(field));
        for (std::string& arg : args) {
            const auto place = places.find(arg.substr(0, arg.find('}') + 1));
            if (place != places.end()) arg = place->second + arg.substr(place->first.size());
        }
        return args;
    };
    ContainerImagePtr before;
    if (c.Has("Remasked")) {
        const auto type = static_cast<uint32_t>(std::stoul(c.Get("ProvType")));
        before = OpenContainerTolerant(folder.c_str(), password.c_str(), DefaultParamSet(type),
                                       type, TolerantHeader::kSkip);
        ASSERT_NE(before, nullptr);
    }
    const std::map<std::string, Bytes> tree = Tree(reader.path());
    RunResult run = RunKeymend(expand("Args"), {"LANG=C.UTF-8"});
    // Each warning line names what the case lists for it.
    const std::vector<std::string> warnings = Words(c.Has("Warnings") ? c.Get("Warnings") : "");
    std::vector<std::string> lines;
    for (size_t at = 0; at < run.err.size();) {
        const size_t end = run.err.find('\n', at);
        lines.push_back(run.err.substr(at, end - at));
        at = end == std::string::npos ? run.err.size() : end + 1;
    }
    EXPECT_EQ(lines.size(), warnings.size()) << run.err;
    for (size_t i = 0; i < lines.size() && i < warnings.size(); ++i) {
        EXPECT_TRUE(lines[i].starts_with("Warning: ")) << lines[i];
        std::string item;
        for (std::istringstream in(warnings[i]); std::getline(in, item, '/');) {
            EXPECT_NE(lines[i].find(item), std::string::npos) << item << " in " << lines[i];
        }
    }
    if (c.Has("Message")) {
        EXPECT_EQ(run.exitCode, 1);
        std::vector<int> ids;
        for (const std::string& id : Words(c.Get("Message"))) ids.push_back(std::stoi(id));
        EXPECT_EQ(run.out, FailureOutput(ids));
        EXPECT_TRUE(Tree(reader.path()) == tree) << "a failed command changed the folder";
        return;
    }
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Successfully finished.\n");
    if (c.Has("Then")) {
        run = RunKeymend(expand("Then"));
        EXPECT_EQ(run.out, "Successfully finished.\n") << c.Get("Then");
    }
    for (const std::string name : {"Public1", "Public2"}) {
        if (!c.Has(name)) continue;
        const std::string path = folder + "/public" + name.back(), key = c.Get(name);
        EXPECT_EQ(ReadFileBytes(path), key == "stale" ? kStale : PublicFile(KeyOf(key).publicKey));
        struct stat st {};
        EXPECT_TRUE(key == "stale" ||
                    (::stat(path.c_str(), &st) == 0 && (st.st_mode & 0044) == 0044))
            << path << " is not an ordinary file, readable by others";
    }
    if (c.Has("Intact")) ExpectIntact(c, folder, password.c_str(), before.get());
}

void RunCases(const std::vector<VectorRecord>& cases) {
    const mode_t oldMask = ::umask(022);
    for (const VectorRecord& c : cases) RunCase(c);
    ::umask(oldMask);
}

std::vector<VectorRecord> Cases(const std::string& file) {
    return LoadVectors(
        file, {"Case",       "Keys",        "ProvType",     "Password", "Prepare", "Damage",
               "Args",       "Message",     "Public1",      "Public2",  "Intact",  "Remasked",
               "Name",       "HeaderFlags", "HeaderSize",   "Curves",   "Digests", "EncryptionSets",
               "Algorithms", "KeyFlags",    "Certificates", "Then",     "Warnings"});
}

TEST(Commands, EveryCaseFile) {
    for (const char* file : {"repair", "public_export", "import"}) {
        RunCases(Cases("commands/" + std::string(file) + ".vec"));
    }
}

// Every PKCS#12 fixture goes into a new container, alternately as signature and as exchange key,
// then -kvpublic writes its public key (for the fresh files: the one OpenSSL gives for a fresh
// key). A file whose MAC is refused imports with -noMACVerify; one that needs key meshing fails
// with -noKVKM. The key's certificate is the one OpenSSL lists for the file.
std::vector<VectorRecord> ImportCases(const std::vector<Pkcs12Fixture>& fixtures, bool exchange) {
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
        const std::string key = f.paramSet + "==" + ToHex(f.publicKey);
        cases.push_back(
            {"Imported",
             {{"Case", f.name},
              {"Args", args + (f.expect == "mac" ? " -noMACVerify" : "")},
              {"Then", "-kvpublic -contfolder {folder} -passkv 12345678"},
              {"Public1", key},
              {"Password", "12345678"},
              {"Intact", key},
              {"HeaderFlags", "c0"},  // built, with a password
              {"KeyFlags", exchange ? "a0" : "80"},
              {"Algorithms", exchange ? ExchangeAlgorithm(type) : SignatureAlgorithm(type)},
              {"Curves", f.paramSet},
              {"Digests", f.digestSet},
              {"EncryptionSets", DefaultParamSet(type)}}});
        if (f.certificate == 0 || !listed.empty()) {  // OpenSSL lists them
            cases.back().fields["Certificates"] =
                f.certificate == 0 ? "-" : "=" + ToHex(listed.at(f.certificate - 1u));
        }
    }
    return cases;
}

TEST(ImportCommand, EveryPkcs12FixtureImports) {
    RunCases(ImportCases(CommittedPkcs12Fixtures(), true));
    if (GeneratedPkcs12Fixtures().empty()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    RunCases(ImportCases(GeneratedPkcs12Fixtures(), false));
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

}  // namespace
}  // namespace keymend::test

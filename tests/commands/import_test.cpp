// -p12tokv and -p12addtokv end to end: the built binary on real PKCS#12 files, the container
// checked through its header and through -kvpublic.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "container/protection.h"
#include "container/records.h"
#include "pkcs12/pkcs12.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

const std::vector<std::string> kEnv = {"LANG=C.UTF-8"};
const std::string kOk = "Successfully finished.\n";
const std::string kFailed = "Failed while executing.\n";
const std::string kMsg103 = "Failed to open PKCS#12 key container file.\n";
const std::string kPassKv = "12345678";

std::vector<std::string> Folders(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path))
        out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

std::map<std::string, Bytes> Snapshot(const std::string& folder) {
    std::map<std::string, Bytes> out;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        out[e.path().filename()] = ReadFileBytes(e.path());
    return out;
}

RunResult ImportNew(const Pkcs12Fixture& f, const std::string& reader, const std::string& use,
                    std::vector<std::string> extra = {}, const std::string& name = "testkeys") {
    std::vector<std::string> args = {"-p12tokv", "-rdrfolder", reader, "-contname", name,
                                     use,        "-infile",    f.path, "-passkv",   kPassKv};
    if (!f.password.empty()) args.insert(args.end(), {"-passp12", f.password});
    args.insert(args.end(), extra.begin(), extra.end());
    return RunKeymend(args, kEnv);
}

RunResult ImportAdd(const std::string& infile, const std::string& password,
                    const std::string& folder, const std::string& use,
                    const std::string& passKv = kPassKv) {
    std::vector<std::string> args = {"-p12addtokv", "-contfolder", folder,    use,
                                     "-infile",     infile,        "-passkv", passKv};
    if (!password.empty()) args.insert(args.end(), {"-passp12", password});
    return RunKeymend(args, kEnv);
}

Bytes PublicFile(const Bytes& publicKey) {
    Bytes out(publicKey.size() + 2);
    out[0] = 0x04;
    out[1] = static_cast<uint8_t>(publicKey.size());
    std::copy(publicKey.begin(), publicKey.end(), out.begin() + 2);
    return out;
}

// -kvpublic must give the public key of the certificate.
void ExpectPublicKeys(const std::string& folder, const Bytes& first, const Bytes& second = {}) {
    RunResult r = RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", kPassKv}, kEnv);
    EXPECT_EQ(r.out, kOk);
    EXPECT_EQ(ToHex(ReadFileBytes(folder + "/public1")), ToHex(PublicFile(first)));
    if (!second.empty()) {
        EXPECT_EQ(ToHex(ReadFileBytes(folder + "/public2")), ToHex(PublicFile(second)));
    }
}

void ExpectHeader(const std::string& folder, const Pkcs12Fixture& f, bool exchange) {
    Bytes raw = ReadFileBytes(folder + "/header.key");
    HeaderRecord header;
    ASSERT_TRUE(DecodeHeaderFile(raw.data(), raw.size(), header));
    const KeyProperties& k = header.firstKey;
    OidText algorithm;
    ASSERT_TRUE(AlgorithmOidForKeyUse(f.algorithm.c_str(), exchange ? 1 : 2, algorithm));
    EXPECT_STREQ(k.algorithm.c_str(), algorithm.c_str());
    EXPECT_STREQ(k.publicKeyParamSet.c_str(), f.paramSet.c_str());
    EXPECT_STREQ(k.digestParamSet.c_str(), f.digestSet.c_str());
    EXPECT_STREQ(k.encryptionParamSet.c_str(),
                 DefaultParamSet(ProviderTypeOfOid(algorithm.c_str())));
    ASSERT_EQ(header.flags.size(), 1u);
    EXPECT_EQ(header.flags[0], 0xC0);  // built, with a password
    ASSERT_EQ(k.flags.size(), 1u);
    EXPECT_EQ(k.flags[0], exchange ? 0xA0 : 0x80);
    std::vector<Bytes> certs = OpenSslCertificates(f);
    if (f.certificate == 0) {
        EXPECT_TRUE(k.certificate.empty());
    } else if (!certs.empty()) {
        EXPECT_EQ(ToHex(k.certificate.data(), k.certificate.size()),
                  ToHex(certs.at(static_cast<size_t>(f.certificate) - 1)));
    } else {
        EXPECT_FALSE(k.certificate.empty());
    }
}

void ImportEach(const std::vector<Pkcs12Fixture>& fixtures, bool exchangeFirst) {
    bool exchange = !exchangeFirst;
    for (const auto& f : fixtures) {
        SCOPED_TRACE(f.path);
        exchange = !exchange;
        const std::string use = exchange ? "-ex" : "-sg";
        TempDir reader;
        std::vector<std::string> extra;
        if (f.expect == "mac") {
            EXPECT_EQ(ImportNew(f, reader.path(), use).out, kMsg103 + kFailed);
            extra.push_back("-noMACVerify");
        }
        if (f.expect == "meshing") {
            RunResult r = ImportNew(f, reader.path(), use, {"-noKVKM"});
            EXPECT_EQ(r.out, kMsg103 + kFailed);
            EXPECT_EQ(r.exitCode, 1);
        }
        EXPECT_TRUE(Folders(reader.path()).empty());
        RunResult r = ImportNew(f, reader.path(), use, extra);
        ASSERT_EQ(r.out, kOk);
        EXPECT_EQ(r.exitCode, 0);
        ASSERT_EQ(Folders(reader.path()), std::vector<std::string>{"testkeys.000"});
        const std::string folder = reader / "testkeys.000";
        ExpectHeader(folder, f, exchange);
        ExpectPublicKeys(folder, f.publicKey);
    }
}

TEST(ImportCommand, CommittedFilesImportWithBothKeyUses) {
    ImportEach(CommittedPkcs12Fixtures(), false);
}

TEST(ImportCommand, FreshOpenSslFilesImport) {
    if (GeneratedPkcs12Fixtures().empty()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    ImportEach(GeneratedPkcs12Fixtures(), true);
}

TEST(ImportCommand, WrongPasswordCreatesNothingAndNamesAreNumbered) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* f = FindFixture(all, "gost2001-cpA-ascii-mac512.pfx");
    ASSERT_TRUE(f);
    TempDir reader;
    Pkcs12Fixture wrong = *f;
    wrong.password = "not the password";
    RunResult r = ImportNew(wrong, reader.path(), "-sg");
    EXPECT_EQ(r.out, kMsg103 + kFailed);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Folders(reader.path()).empty());
    Pkcs12Fixture missing = *f;
    missing.path = reader / "absent.pfx";
    EXPECT_EQ(ImportNew(missing, reader.path(), "-sg").out,
              "Failed to open PKCS#12 key container.\n" + kFailed);
    // A file beyond the size bound is refused as unusable without being read.
    Pkcs12Fixture huge = *f;
    huge.path = reader / "huge.pfx";
    WriteFileBytes(huge.path, ReadFileBytes(f->path));
    std::filesystem::resize_file(huge.path, kMaxPkcs12FileSize + 1);
    EXPECT_EQ(ImportNew(huge, reader.path(), "-sg").out, kMsg103 + kFailed);
    std::filesystem::remove(huge.path);
    EXPECT_TRUE(Folders(reader.path()).empty());

    EXPECT_EQ(ImportNew(*f, reader.path(), "-sg", {}, "MyContainerName").out, kOk);
    EXPECT_EQ(ImportNew(*f, reader.path(), "-sg", {}, "MyContainerName").out, kOk);
    EXPECT_EQ(Folders(reader.path()), (std::vector<std::string>{"MyContai.000", "MyContai.001"}));
    Bytes name = ReadFileBytes(reader / "MyContai.001/name.key");
    EXPECT_NE(std::string(name.begin(), name.end()).find("MyContainerName"), std::string::npos);
}

TEST(ImportCommand, CertificateWithoutAKeyCreatesNoContainer) {
    if (!OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    TempDir dir;
    const std::string pfx = dir / "cert-only.pfx";
    RunResult made = RunShell("openssl pkcs12 -export -engine gost -nokeys -in '" +
                              DataPath("certs/g01_a.pem") + "' -certpbe gost89 -macalg "
                              "md_gost12_512 -passout pass:x -out '" + pfx + "'");
    ASSERT_EQ(made.exitCode, 0);
    Pkcs12Fixture f;
    f.path = pfx;
    f.password = "x";
    TempDir reader;
    // Without a key no certificate candidate can be matched against a public key.
    RunResult r = ImportNew(f, reader.path(), "-sg");
    EXPECT_EQ(r.out, kMsg103 + kFailed);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Folders(reader.path()).empty());
}

TEST(ImportCommand, AddImportRefusalsLeaveTheContainerUnchanged) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* base = FindFixture(all, "gost2012-256-cpA-empty-mac512.pfx");
    const Pkcs12Fixture* other2001 = FindFixture(all, "gost2001-cpXchB-ascii-mac94.pfx");
    const Pkcs12Fixture* other512 = FindFixture(all, "gost2012-512-tcB-empty-mac94.pfx");
    const Pkcs12Fixture* second = FindFixture(all, "no-cert.pfx");
    ASSERT_TRUE(base && other2001 && other512 && second);
    TempDir reader;
    ASSERT_EQ(ImportNew(*base, reader.path(), "-sg").out, kOk);
    const std::string folder = reader / "testkeys.000";
    const auto before = Snapshot(folder);
    const std::string absent = reader / "absent.pfx";
    struct Case {
        const char* what;
        std::string infile, password, use, passKv, out;
    } refusals[] = {
        {"same purpose, before the file is opened", absent, "", "-sg", kPassKv,
         "Unable to add key of the same purpose to Kalvion container. \n"},
        {"GOST R 34.10-2001 key", other2001->path, other2001->password, "-ex", kPassKv,
         "Unable to add different type key to Kalvion key container.\n"},
        {"512-bit key", other512->path, other512->password, "-ex", kPassKv,
         "Unable to add different type key to Kalvion key container.\n"},
        {"wrong container password", second->path, second->password, "-ex", "wrong",
         "Failed to open Kalvion CSP key container.\n"},
        {"wrong PKCS#12 password", second->path, "wrong", "-ex", kPassKv, kMsg103},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.what);
        RunResult r = ImportAdd(c.infile, c.password, folder, c.use, c.passKv);
        EXPECT_EQ(r.out, c.out + kFailed);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(Snapshot(folder) == before);
    }

    ASSERT_EQ(ImportAdd(second->path, second->password, folder, "-ex").out, kOk);
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), u"12345678");
    ASSERT_NE(image, nullptr);
    EXPECT_FALSE(image->primary.secondKeyDecrypted.empty());
    EXPECT_FALSE(image->primary2.secondKeyDecrypted.empty());
    EXPECT_STREQ(image->header.secondKey.algorithm.c_str(), "1.2.643.7.1.1.6.1");
    ASSERT_EQ(image->header.secondKey.flags.size(), 1u);
    EXPECT_EQ(image->header.secondKey.flags[0], 0xA0);
    ExpectPublicKeys(folder, base->publicKey, second->publicKey);

    const auto full = Snapshot(folder);
    RunResult r = ImportAdd(absent, "", folder, "-ex");
    EXPECT_EQ(r.out, "Kalvion CSP key container is full. Cannot add extra keys.\n" + kFailed);
    EXPECT_TRUE(Snapshot(folder) == full);
}

TEST(ImportCommand, ExchangeContainerTakesOnlyASignatureKey) {
    auto all = CommittedPkcs12Fixtures();
    const Pkcs12Fixture* base = FindFixture(all, "gost2012-512-tcA-ascii-mac512.pfx");
    const Pkcs12Fixture* second = FindFixture(all, "rawkey-first-84.pfx");
    ASSERT_TRUE(base && second);
    TempDir reader;
    ASSERT_EQ(ImportNew(*base, reader.path(), "-ex").out, kOk);
    const std::string folder = reader / "testkeys.000";
    EXPECT_EQ(ImportAdd(second->path, second->password, folder, "-ex").out,
              "Unable to add key of the same purpose to Kalvion container. \n" + kFailed);
    ASSERT_EQ(ImportAdd(second->path, second->password, folder, "-sg").out, kOk);
    ExpectPublicKeys(folder, base->publicKey, second->publicKey);
}

}  // namespace
}  // namespace keymend::test

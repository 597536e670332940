// -p12tokv and -p12addtokv through the binary on real PKCS#12 files: the header written, the
// public keys -kvpublic recovers, and refusals that leave the reader folder as it was.
#include <gtest/gtest.h>

#include <filesystem>

#include "container/container_builder.h"
#include "container/protection.h"
#include "container/records.h"
#include "hardening/hardening_support.h"
#include "pkcs12/pkcs12.h"
#include "pkcs12/pkcs12_fixtures.h"

namespace keymend::test {
namespace {

const std::string kOk = "Successfully finished.\n";
const std::string kFailed = "Failed while executing.\n";
const std::string kNoPfx = "Failed to open PKCS#12 key container file.\n";
const std::string kSamePurpose = "Unable to add key of the same purpose to Kalvion container. \n";
const std::string kOtherType = "Unable to add different type key to Kalvion key container.\n";

// The command on the file of `f` with its password, under the container password 12345678.
RunResult Import(std::vector<std::string> args, const Pkcs12Fixture& f,
                 const std::string& passKv = "12345678") {
    args.insert(args.end(), {"-infile", f.path, "-passkv", passKv});
    if (!f.password.empty()) args.insert(args.end(), {"-passp12", f.password});
    return RunKeymend(args, {"LANG=C.UTF-8"});
}

std::vector<std::string> New(const std::string& reader, const char* use,
                             const char* name = "testkeys") {
    return {"-p12tokv", "-rdrfolder", reader, "-contname", name, use};
}

std::vector<std::string> Add(const std::string& folder, const char* use) {
    return {"-p12addtokv", "-contfolder", folder, use};
}

// -kvpublic must give the public keys of the certificates.
void ExpectPublicKeys(const std::string& folder, const Bytes& first, const Bytes& second = {}) {
    EXPECT_EQ(RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "12345678"}).out, kOk);
    EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(first));
    EXPECT_EQ(ReadFileBytes(folder + "/public2"), second.empty() ? Bytes{} : PublicFile(second));
}

void ExpectHeader(const std::string& folder, const Pkcs12Fixture& f, bool exchange) {
    const Bytes raw = ReadFileBytes(folder + "/header.key");
    HeaderRecord header;
    ASSERT_TRUE(DecodeHeaderFile(raw.data(), raw.size(), header));
    const KeyProperties& k = header.firstKey;
    const uint32_t type = ProviderTypeOfOid(f.algorithm.c_str());
    EXPECT_STREQ(k.algorithm.c_str(),
                 exchange ? ExchangeAlgorithm(type) : SignatureAlgorithm(type));
    EXPECT_STREQ(k.publicKeyParamSet.c_str(), f.paramSet.c_str());
    EXPECT_STREQ(k.digestParamSet.c_str(), f.digestSet.c_str());
    EXPECT_STREQ(k.encryptionParamSet.c_str(), DefaultParamSet(type));
    EXPECT_EQ(Bytes(header.flags.data(), header.flags.data() + header.flags.size()),
              Bytes{0xC0});  // built, with a password
    EXPECT_EQ(Bytes(k.flags.data(), k.flags.data() + k.flags.size()),
              Bytes{static_cast<uint8_t>(exchange ? 0xA0 : 0x80)});
    const std::vector<Bytes> certs = OpenSslCertificates(f);
    const Bytes stored(k.certificate.data(), k.certificate.data() + k.certificate.size());
    if (f.certificate != 0 && certs.empty()) {
        EXPECT_FALSE(stored.empty());  // without OpenSSL to list them
    } else {
        EXPECT_EQ(ToHex(stored), f.certificate == 0 ? "" : ToHex(certs.at(f.certificate - 1u)));
    }
}

void ExpectRefused(const RunResult& run, const std::string& message) {
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, message + kFailed);
}

// Each file goes into a new container, alternately as signature and as exchange key. A file
// whose MAC is refused imports with -noMACVerify; one that needs key meshing fails with -noKVKM.
void ImportEach(const std::vector<Pkcs12Fixture>& fixtures, bool exchange) {
    for (const Pkcs12Fixture& f : fixtures) {
        SCOPED_TRACE(f.path);
        exchange = !exchange;
        TempDir reader;
        std::vector<std::string> args = New(reader.path(), exchange ? "-ex" : "-sg");
        if (f.expect == "mac") {
            ExpectRefused(Import(args, f), kNoPfx);
            args.push_back("-noMACVerify");
        }
        if (f.expect == "meshing") {
            std::vector<std::string> noMeshing = args;
            noMeshing.push_back("-noKVKM");
            ExpectRefused(Import(noMeshing, f), kNoPfx);
        }
        EXPECT_TRUE(Entries(reader.path()).empty());
        const RunResult run = Import(args, f);
        ASSERT_EQ(run.out, kOk);
        EXPECT_EQ(run.exitCode, 0);
        ASSERT_EQ(Entries(reader.path()), std::vector<std::string>{"testkeys.000"});
        ExpectHeader(reader / "testkeys.000", f, exchange);
        ExpectPublicKeys(reader / "testkeys.000", f.publicKey);
    }
}

TEST(ImportCommand, CommittedFilesImportWithBothKeyUses) {
    ImportEach(CommittedPkcs12Fixtures(), true);
}

TEST(ImportCommand, FreshOpenSslFilesImport) {
    if (GeneratedPkcs12Fixtures().empty()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    ImportEach(GeneratedPkcs12Fixtures(), false);
}

// Refusals exit with code 1 and their message and leave the reader folder, with the containers
// in it, byte for byte as it was; then the second keys go in, and a full container takes no
// third. Container names are cut to eight characters and numbered.
TEST(ImportCommand, RefusalsChangeNothing) {
    const std::vector<Pkcs12Fixture> all = CommittedPkcs12Fixtures();
    const auto fixture = [&](const std::string& name, const std::string& path = "",
                             const char* password = nullptr) {
        const Pkcs12Fixture* found = FindFixture(all, name);
        EXPECT_NE(found, nullptr) << name;
        Pkcs12Fixture f = found != nullptr ? *found : Pkcs12Fixture{};
        f.path = path.empty() ? f.path : path;
        f.password = password != nullptr ? password : f.password;
        return f;
    };
    const Pkcs12Fixture base = fixture("gost2012-256-cpA-empty-mac512.pfx");
    const Pkcs12Fixture base512 = fixture("gost2012-512-tcA-ascii-mac512.pfx");
    const Pkcs12Fixture second = fixture("no-cert.pfx"), raw = fixture("rawkey-first-84.pfx");
    TempDir reader, files;
    ASSERT_EQ(Import(New(reader.path(), "-sg", "sign"), base).out, kOk);
    ASSERT_EQ(Import(New(reader.path(), "-ex", "exchange"), base512).out, kOk);
    const std::string sign = reader / "sign.000", exchange = reader / "exchange.000";
    const Pkcs12Fixture absent = fixture(base.name, files / "absent.pfx", "");
    const Pkcs12Fixture huge = fixture(base.name, files / "huge.pfx");
    ASSERT_TRUE(WriteFileBytes(huge.path, ReadFileBytes(base.path)));
    std::filesystem::resize_file(huge.path, kMaxPkcs12FileSize + 1);
    struct Row {
        const char* what;
        std::vector<std::string> args;
        Pkcs12Fixture f;
        std::string passKv, message;
    };
    const std::string pass = "12345678";
    std::vector<Row> rows = {
        {"wrong PKCS#12 password", New(reader.path(), "-sg"),
         fixture(base.name, "", "not the password"), pass, kNoPfx},
        {"missing file", New(reader.path(), "-sg"), absent, pass,
         "Failed to open PKCS#12 key container.\n"},
        {"file beyond the size bound", New(reader.path(), "-sg"), huge, pass, kNoPfx},
        {"same purpose, before the file is opened", Add(sign, "-sg"), absent, pass, kSamePurpose},
        {"GOST R 34.10-2001 key", Add(sign, "-ex"), fixture("gost2001-cpXchB-ascii-mac94.pfx"),
         pass, kOtherType},
        {"512-bit key", Add(sign, "-ex"), fixture("gost2012-512-tcB-empty-mac94.pfx"), pass,
         kOtherType},
        {"wrong container password", Add(sign, "-ex"), second, "wrong",
         "Failed to open Kalvion CSP key container.\n"},
        {"wrong PKCS#12 password of a second key", Add(sign, "-ex"),
         fixture(second.name, "", "wrong"), pass, kNoPfx},
        {"exchange key into an exchange container", Add(exchange, "-ex"), raw, pass, kSamePurpose},
    };
    // A file with a certificate and no key: no certificate can be matched against a key.
    const std::string certOnly = files / "cert-only.pfx";
    if (OpenSslGostAvailable() &&
        RunShell("openssl pkcs12 -export -engine gost -nokeys -in '" + DataPath("certs/g01_a.pem") +
                 "' -certpbe gost89 -macalg md_gost12_512 -passout pass:x -out '" + certOnly + "'")
                .exitCode == 0) {
        rows.push_back({"certificate without a key", New(reader.path(), "-sg"),
                        fixture(base.name, certOnly, "x"), pass, kNoPfx});
    }
    const auto state = [&] {
        return std::tuple(Entries(reader.path()), Snapshot(sign), Snapshot(exchange));
    };
    const auto expectRefusedUnchanged = [&](const Row& row) {
        SCOPED_TRACE(row.what);
        const auto before = state();
        ExpectRefused(Import(row.args, row.f, row.passKv), row.message);
        EXPECT_TRUE(state() == before);
    };
    for (const Row& row : rows) expectRefusedUnchanged(row);

    ASSERT_EQ(Import(Add(sign, "-ex"), second).out, kOk);
    ASSERT_EQ(Import(Add(exchange, "-sg"), raw).out, kOk);
    const ContainerImagePtr image = OpenContainerStrict(sign.c_str(), u"12345678");
    ASSERT_NE(image, nullptr);
    EXPECT_FALSE(image->primary.secondKeyDecrypted.empty());
    EXPECT_FALSE(image->primary2.secondKeyDecrypted.empty());
    EXPECT_STREQ(image->header.secondKey.algorithm.c_str(), "1.2.643.7.1.1.6.1");
    const auto& flags = image->header.secondKey.flags;
    EXPECT_EQ(Bytes(flags.data(), flags.data() + flags.size()), Bytes{0xA0});
    ExpectPublicKeys(sign, base.publicKey, second.publicKey);
    ExpectPublicKeys(exchange, base512.publicKey, raw.publicKey);
    expectRefusedUnchanged({"full container", Add(sign, "-ex"), absent, pass,
                            "Kalvion CSP key container is full. Cannot add extra keys.\n"});

    ASSERT_EQ(Import(New(reader.path(), "-sg", "MyContainerName"), base).out, kOk);
    ASSERT_EQ(Import(New(reader.path(), "-sg", "MyContainerName"), base).out, kOk);
    EXPECT_EQ(Entries(reader.path()), (std::vector<std::string>{"MyContai.000", "MyContai.001",
                                                                "exchange.000", "sign.000"}));
    const Bytes name = ReadFileBytes(reader / "MyContai.001/name.key");
    EXPECT_NE(std::string(name.begin(), name.end()).find("MyContainerName"), std::string::npos);
}

}  // namespace
}  // namespace keymend::test

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

// Refused with message 103, "Failed to open PKCS#12 key container file."
void ExpectRefused(const RunResult& run) {
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, FailureOutput(103));
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
            ExpectRefused(Import(args, f));
            args.push_back("-noMACVerify");
        }
        if (f.expect == "meshing") {
            std::vector<std::string> noMeshing = args;
            noMeshing.push_back("-noKVKM");
            ExpectRefused(Import(noMeshing, f));
        }
        EXPECT_TRUE(FolderEntries(reader.path()).empty());
        const RunResult run = Import(args, f);
        ASSERT_EQ(run.out, kOk);
        EXPECT_EQ(run.exitCode, 0);
        ASSERT_EQ(FolderEntries(reader.path()), std::vector<std::string>{"testkeys.000"});
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

// A file with a certificate and no key: no certificate can be matched against a key, and no
// container is made.
TEST(ImportCommand, CertificateWithoutAKeyCreatesNoContainer) {
    if (!OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL with the GOST engine absent";
    TempDir dir, reader;
    Pkcs12Fixture f;
    f.path = dir / "cert-only.pfx";
    f.password = "x";
    ASSERT_EQ(RunShell("openssl pkcs12 -export -engine gost -nokeys -in '" +
                       DataPath("certs/g01_a.pem") + "' -certpbe gost89 -macalg md_gost12_512 " +
                       "-passout pass:x -out '" + f.path + "'")
                  .exitCode,
              0);
    ExpectRefused(Import(New(reader.path(), "-sg"), f));
    EXPECT_TRUE(FolderEntries(reader.path()).empty());
}

}  // namespace
}  // namespace keymend::test

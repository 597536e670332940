// -kvpublic through the binary: the cases of tests/data/commands/public_export.vec, and the key
// OpenSSL derives for a fresh private key.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "container/container_builder.h"
#include "container/protection.h"
#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

void FlipSecondKeyCheck(const std::string& folder) {
    ContainerImagePtr image = CreateContainerImage();
    ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
    image->header.secondKey.publicKeyCheck[0] ^= 1;
    SecureBlob header;
    ASSERT_TRUE(EncodeHeaderFile(image->header, false, header));
    ASSERT_TRUE(WriteFileBytes(folder + "/header.key",
                               Bytes(header.data(), header.data() + header.size())));
}

TEST(PublicExportCommand, EndToEnd) {
    const mode_t oldMask = ::umask(022);
    for (const VectorRecord& c : LoadVectors(
             "commands/public_export.vec",
             {"Case", "Curve", "ProvType", "TwoKeys", "Password", "PassKv", "FirstCopyOneKey",
              "FlipSecondCheck", "Damage", "Blocked", "Options", "Result"})) {
        SCOPED_TRACE(c.Get("Case"));
        TempDir dir;
        const uint32_t type = static_cast<uint32_t>(std::stoul(c.Get("ProvType")));
        const std::string password = c.Has("Password") ? c.Get("Password") : "";
        const std::u16string password16(password.begin(), password.end());
        const TestKey& first = Key(c.Get("Curve"));
        const TestKey& second = Key(c.Get("Curve"), 1);
        const std::string folder =
            MakeContainer(dir.path(), "pub", first, SignatureAlgorithm(type), password16.c_str());
        ASSERT_FALSE(folder.empty());
        const FolderSnapshot oneKey = Snapshot(folder);
        if (c.Has("TwoKeys")) {
            ASSERT_TRUE(AddSecondKey(folder, second, ExchangeAlgorithm(type), password16.c_str()));
        }
        if (c.Has("FirstCopyOneKey")) {
            ASSERT_TRUE(WriteFileBytes(folder + "/primary.key", oneKey.at("primary.key")));
            ASSERT_TRUE(WriteFileBytes(folder + "/masks.key", oneKey.at("masks.key")));
        }
        if (c.Has("FlipSecondCheck")) FlipSecondKeyCheck(folder);
        if (c.Has("Damage")) DamageFolder(folder, c.Get("Damage"));
        const Bytes stale{1, 2, 3};
        ASSERT_TRUE(WriteFileBytes(folder + "/public1", stale));
        ASSERT_TRUE(WriteFileBytes(folder + "/public2", stale));
        if (c.Has("Blocked")) {
            std::filesystem::remove(folder + "/public1");
            std::filesystem::create_directory(folder + "/public1");
        }

        std::vector<std::string> args{"-kvpublic", "-contfolder", folder + "/"};
        const std::string passKv = c.Has("PassKv") ? c.Get("PassKv") : password;
        if (!passKv.empty()) args.insert(args.end(), {"-passkv", passKv});
        for (const std::string& word : Words(c.Has("Options") ? c.Get("Options") : "")) {
            args.push_back(word);
        }
        const RunResult run = RunKeymend(args);
        const std::string result = c.Get("Result");
        const bool ok = result.starts_with("public1");
        EXPECT_EQ(run.exitCode, ok ? 0 : 1);
        EXPECT_EQ(run.out, ok                    ? "Successfully finished.\n"
                           : result == "blocked" ? "Failed while executing.\n"
                                                 : "Failed to retreive public key from Kalvion "
                                                   "CSP key container.\nFailed while executing.\n");
        if (result == "blocked") continue;
        EXPECT_EQ(ReadFileBytes(folder + "/public1"), ok ? PublicFile(first.publicKey) : stale);
        EXPECT_EQ(ReadFileBytes(folder + "/public2"),
                  result == "public1 public2" ? PublicFile(second.publicKey) : stale);
        struct stat st {};
        if (!ok || ::stat((folder + "/public1").c_str(), &st) != 0) continue;
        EXPECT_EQ(st.st_mode & 0044, 0044u) << "an ordinary file, readable by others";
    }
    ::umask(oldMask);
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
        ASSERT_TRUE(pkcs8.size() > size_t(c.width) && spki.size() > size_t(2 * c.width)) << gen.out;
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

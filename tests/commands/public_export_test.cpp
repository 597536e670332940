#include "commands/public_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "container/container_builder.h"
#include "container/protection.h"

namespace keymend {
namespace {

using namespace keymend::test;

constexpr const char* kFailedMessage =
    "Failed to retreive public key from Kalvion CSP key container.\nFailed while executing.\n";

Bytes PublicFile(const Bytes& publicKey) {
    Bytes out{0x04, static_cast<uint8_t>(publicKey.size())};
    out.insert(out.end(), publicKey.begin(), publicKey.end());
    return out;
}

struct ExportCase {
    const char* what;
    const char* curve;
    uint32_t providerType;
    bool twoKeys;
    std::function<void(const std::string&)> damage;
    std::vector<std::string> options;  // besides -kvpublic -contfolder -passkv
    bool ok;
    bool expectPublic2;
    bool withPassword = false;  // "pw" (slow derivation), else the empty password
};

void Remove(const std::string& path) {
    std::remove(path.c_str());
}

TEST(PublicExportCommand, EndToEnd) {
    const ExportCase cases[] = {
        {"two 256-bit keys", "1.2.643.2.2.35.1", 80, true, nullptr, {}, true, true, true},
        {"one 512-bit key", "1.2.643.7.1.2.1.2.2", 81, false, nullptr, {}, true, false},
        {"no header, -provtype 80",
         "1.2.643.2.2.36.0",
         80,
         false,
         [](const std::string& f) { Remove(f + "/header.key"); },
         {"-provtype", "80"},
         true,
         false},
        {"no header, -provtype 75",
         "1.2.643.2.2.36.0",
         75,
         true,
         [](const std::string& f) { Remove(f + "/header.key"); },
         {"-provtype", "75"},
         true,
         true},
        {"no header, -provtype 81",
         "1.2.643.7.1.2.1.2.1",
         81,
         false,
         [](const std::string& f) { Remove(f + "/header.key"); },
         {"-provtype", "81"},
         true,
         false},
        {"no header, curves from the command line",
         "1.2.643.2.2.35.2",
         80,
         true,
         [](const std::string& f) { Remove(f + "/header.key"); },
         {"-provtype", "80", "-oid", "1.2.643.2.2.35.2", "-oid2", "1.2.643.2.2.35.2"},
         true,
         true},
        {"no header and no -provtype",
         "1.2.643.2.2.36.0",
         80,
         false,
         [](const std::string& f) { Remove(f + "/header.key"); },
         {},
         false,
         false},
        {"damaged masks.key",
         "1.2.643.2.2.35.1",
         80,
         true,
         [](const std::string& f) { FlipByteFromEnd(f + "/masks.key", 1); },
         {},
         true,
         true},
        {"only primary2.key satisfies the header",
         "1.2.643.7.1.2.1.1.1",
         80,
         true,
         [](const std::string& f) { FlipByteFromEnd(f + "/primary.key", 40); },
         {},
         true,
         true},
        {"both copies damaged",
         "1.2.643.2.2.35.1",
         80,
         false,
         [](const std::string& f) {
             FlipByteFromEnd(f + "/masks.key", 1);
             FlipByteFromEnd(f + "/primary2.key", 1);
         },
         {},
         false,
         false},
        {"wrong password",
         "1.2.643.2.2.35.1",
         80,
         false,
         nullptr,
         {"-passkv", "wrong"},
         false,
         false,
         true},
    };
    for (const ExportCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const TestKey& first = Key(c.curve);
        const TestKey& second = Key(c.curve, 1);
        const char16_t* password = c.withPassword ? u"pw" : u"";
        const std::string folder =
            MakeContainer(dir.path(), "pub", first, SignatureAlgorithm(c.providerType), password);
        ASSERT_FALSE(folder.empty());
        if (c.twoKeys) {
            ASSERT_TRUE(AddSecondKey(folder, second, ExchangeAlgorithm(c.providerType), password));
        }
        if (c.damage) c.damage(folder);
        const Bytes stale{1, 2, 3};
        ASSERT_TRUE(WriteFileBytes(folder + "/public1", stale));  // overwritten on success
        if (!c.twoKeys) {
            ASSERT_TRUE(WriteFileBytes(folder + "/public2", stale));
        }

        std::vector<std::string> args{"-kvpublic", "-contfolder", folder + "/"};
        if (c.withPassword) args.insert(args.end(), {"-passkv", "pw"});
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult run = RunKeymend(args);
        if (!c.ok) {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.out, kFailedMessage);
            EXPECT_EQ(ReadFileBytes(folder + "/public1"), stale);
            continue;
        }
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "Successfully finished.\n");
        EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(first.publicKey));
        EXPECT_EQ(ReadFileBytes(folder + "/public2"),
                  c.expectPublic2 ? PublicFile(second.publicKey) : stale);
    }
}

// The first copy holds one key, the second copy two: public2 comes from the second copy.
TEST(PublicExportCommand, SecondKeyOnlyInTheBackupCopy) {
    TempDir dir;
    const TestKey& first = Key("1.2.643.2.2.35.3");
    const TestKey& second = Key("1.2.643.2.2.35.3", 1);
    const std::string folder =
        MakeContainer(dir.path(), "half", first, SignatureAlgorithm(80), u"");
    const Bytes oneKey = ReadFileBytes(folder + "/primary.key");
    const Bytes oneKeyMasks = ReadFileBytes(folder + "/masks.key");
    ASSERT_TRUE(AddSecondKey(folder, second, ExchangeAlgorithm(80), u""));
    ASSERT_TRUE(WriteFileBytes(folder + "/primary.key", oneKey));
    ASSERT_TRUE(WriteFileBytes(folder + "/masks.key", oneKeyMasks));
    SecureBlob pub1, pub2;
    ASSERT_TRUE(ExportPublicKeys(folder.c_str(), u"", "", "", 0, pub1, pub2));
    EXPECT_EQ(Bytes(pub1.data(), pub1.data() + pub1.size()), first.publicKey);
    EXPECT_EQ(Bytes(pub2.data(), pub2.data() + pub2.size()), second.publicKey);

    // When the header contradicts it, no secondary key is given out.
    ContainerImagePtr image = CreateContainerImage();
    ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
    image->header.secondKey.publicKeyCheck[0] ^= 1;
    SecureBlob header;
    ASSERT_TRUE(EncodeHeaderFile(image->header, false, header));
    ASSERT_TRUE(WriteFileBytes(folder + "/header.key",
                               Bytes(header.data(), header.data() + header.size())));
    ASSERT_TRUE(ExportPublicKeys(folder.c_str(), u"", "", "", 0, pub1, pub2));
    EXPECT_EQ(Bytes(pub1.data(), pub1.data() + pub1.size()), first.publicKey);
    EXPECT_TRUE(pub2.empty());
}

TEST(PublicExportCommand, OutputFilesAreOrdinaryAndFailuresReported) {
    TempDir dir;
    const TestKey& key = Key("1.2.643.2.2.35.1");
    const std::string folder = MakeContainer(dir.path(), "out", key, SignatureAlgorithm(80), u"");
    const mode_t oldMask = ::umask(022);
    const RunResult run = RunKeymend({"-kvpublic", "-contfolder", folder});
    ::umask(oldMask);
    ASSERT_EQ(run.exitCode, 0);
    struct stat st {};
    ASSERT_EQ(::stat((folder + "/public1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0044, 0044u);  // an ordinary file, readable by others

    // public1 cannot be created (a folder stands in its way): only the closing message.
    std::remove((folder + "/public1").c_str());
    ASSERT_EQ(::mkdir((folder + "/public1").c_str(), 0700), 0);
    const RunResult blocked = RunKeymend({"-kvpublic", "-contfolder", folder});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(blocked.out, "Failed while executing.\n");
}

// The public key written is the one OpenSSL derives for the same private key.
TEST(PublicExportCommand, MatchesOpenSslForAFreshKey) {
    if (!OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL GOST engine not available";
    const struct {
        const char* algorithm;
        const char* paramset;
        const char* curve;
        uint32_t providerType;
    } cases[] = {{"gost2012_256", "A", "1.2.643.2.2.35.1", 80},
                 {"gost2012_512", "B", "1.2.643.7.1.2.1.2.2", 81}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.algorithm);
        TempDir dir;
        const std::string pem = dir / "key.pem";
        const RunResult gen = RunShell(
            "openssl genpkey -engine gost -algorithm " + std::string(c.algorithm) +
            " -pkeyopt paramset:" + c.paramset + " -out " + pem +
            " 2>/dev/null && openssl pkey -engine gost -in " + pem + " -text -noout 2>/dev/null");
        ASSERT_EQ(gen.exitCode, 0);
        // "Private key: HEX", "X:HEX", "Y:HEX", most significant digit first.
        std::istringstream text(gen.out);
        std::string line, d, x, y;
        while (std::getline(text, line)) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (line.find("Private key") != std::string::npos) d = value;
            if (line.find("X:") != std::string::npos) x = value;
            if (line.find("Y:") != std::string::npos) y = value;
        }
        const size_t width = c.providerType == 81 ? 64 : 32;
        auto littleEndian = [width](std::string hex) {
            hex.insert(0, 2 * width - hex.size(), '0');
            Bytes be = FromHex(hex);
            return Bytes(be.rbegin(), be.rend());
        };
        ASSERT_FALSE(d.empty() || x.empty() || y.empty()) << gen.out;
        TestKey key{c.curve, littleEndian(d), littleEndian(x)};
        const Bytes ly = littleEndian(y);
        key.publicKey.insert(key.publicKey.end(), ly.begin(), ly.end());

        const std::string folder =
            MakeContainer(dir.path(), "ossl", key, SignatureAlgorithm(c.providerType), u"pw");
        ASSERT_FALSE(folder.empty());
        const RunResult run = RunKeymend({"-kvpublic", "-contfolder", folder, "-passkv", "pw"});
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(key.publicKey));
    }
}

}  // namespace
}  // namespace keymend

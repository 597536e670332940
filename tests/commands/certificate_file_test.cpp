// Certificate files as -kvrepair reads them: DER, PEM and PKCS#7 in both encodings, the first
// certificate of a bundle, strict Base64, and the inputs refused.
#include "commands/certificate_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "container/container_builder.h"
#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

Bytes CertFile(const std::string& name) {
    return ReadFileBytes(DataPath("certs/" + name));
}

// "\r", "\n" and "\t" in data files stand for those bytes.
std::string Unescape(std::string s) {
    for (size_t at; (at = s.find('\\')) != std::string::npos;) {
        s.replace(at, 2, 1, s.at(at + 1) == 'r' ? '\r' : s.at(at + 1) == 'n' ? '\n' : '\t');
    }
    return s;
}

TEST(CertificateFile, ReadsEveryFormOpenSslWrites) {
    std::map<std::string, Bytes> publicKeys;
    for (const VectorRecord& key : LoadVectors("certs/keys.vec", {"Private", "Public"})) {
        publicKeys[key.section] = key.Hex("Public");
    }
    for (const VectorRecord& key :
         LoadVectors("certs/forms.vec", {"Files", "Algorithm", "Curve", "Digest"})) {
        for (const std::string& file : Words(key.Get("Files"))) {
            SCOPED_TRACE(file);
            CertificateInfo info;
            ASSERT_TRUE(LoadCertificateFile(DataPath("certs/" + file).c_str(), info));
            EXPECT_EQ(info.algorithmOid, key.Get("Algorithm"));
            EXPECT_EQ(info.curveOid, key.Get("Curve"));
            EXPECT_EQ(info.digestOid, key.Get("Digest"));
            EXPECT_EQ(ToHex(BlobBytes(info.publicKey)), ToHex(publicKeys.at(key.section)));
            EXPECT_EQ(BlobBytes(info.encoding), CertFile(key.section + ".der"));
        }
    }
}

// A variant of tests/data/certs/variants.vec.
Bytes Variant(const VectorRecord& c) {
    const Bytes base = c.Get("Base").empty() ? Bytes{} : CertFile(c.Get("Base"));
    const Bytes prefix = c.Has("Prefix") ? c.Hex("Prefix") : Bytes{};
    std::string text =
        std::string(prefix.begin(), prefix.end()) + std::string(base.begin(), base.end());
    if (c.Has("Replace")) {
        const std::string replace = Unescape(c.Get("Replace"));
        const size_t arrow = replace.find(" => ");
        text.replace(text.find(replace.substr(0, arrow)), arrow, replace.substr(arrow + 4));
    }
    if (c.Has("CutAt")) text.resize(text.find(c.Get("CutAt")));
    if (c.Has("Set")) {
        const std::string set = c.Get("Set");
        const Bytes needle = FromHex(set.substr(0, set.find('+'))),
                    value = FromHex(set.substr(set.find('=') + 1));
        const size_t at = needle.empty() ? 0 : text.find(std::string(needle.begin(), needle.end()));
        text.at(at + std::stoul(set.substr(set.find('+') + 1))) = static_cast<char>(value.at(0));
    }
    const Bytes tail = c.Has("Append") ? c.Hex("Append") : Bytes{};
    text.append(tail.begin(), tail.end());
    return Bytes(text.begin(), text.end());
}

TEST(CertificateFile, AcceptsOnlyWellFormedInput) {
    const Bytes der = CertFile("g01_a.der");
    for (const VectorRecord& c :
         LoadVectors("certs/variants.vec",
                     {"Case", "Base", "Prefix", "Replace", "CutAt", "Set", "Append"})) {
        SCOPED_TRACE(c.Get("Case"));
        const Bytes data = Variant(c);
        const bool ok = c.section == "Accepted";
        CertificateInfo info;
        ASSERT_EQ(ParseCertificateFile(data.data(), data.size(), info), ok);
        EXPECT_EQ(BlobBytes(info.encoding), ok ? der : Bytes{});
        EXPECT_EQ(info.publicKey.empty(), !ok);
    }
    // Every proper prefix of a certificate and of a bundle is refused.
    for (const Bytes& whole : {der, CertFile("g01_a.p7b")}) {
        for (size_t n = 0; n < whole.size(); ++n) {
            CertificateInfo info;
            ASSERT_FALSE(ParseCertificateFile(whole.data(), n, info)) << n;
        }
    }
}

TEST(CertificateFile, Base64IsStrict) {
    for (const VectorRecord& c : LoadVectors("certs/base64.vec", {"In", "Out"})) {
        const std::string in = Unescape(c.Get("In"));
        SCOPED_TRACE(c.section + ": " + c.Get("In"));
        std::vector<uint8_t> out;
        ASSERT_EQ(Base64Decode(in.data(), in.size(), out), c.section == "Accepted");
        if (c.Has("Out")) {
            EXPECT_EQ(ToHex(out), c.Get("Out"));
        }
    }
}

TEST(CertificateFile, RefusesOversizedAndMissingFiles) {
    TempDir dir;
    CertificateInfo info;
    EXPECT_FALSE(LoadCertificateFile((dir / "missing.der").c_str(), info));
    // Refused by size alone: a valid certificate padded to one byte over the limit.
    ASSERT_TRUE(WriteFileBytes(dir / "big.der", CertFile("g01_a.der")));
    ASSERT_EQ(truncate((dir / "big.der").c_str(), kMaxCertificateFileSize + 1), 0);
    EXPECT_FALSE(LoadCertificateFile((dir / "big.der").c_str(), info));
    // A PEM file at the limit is read (the text after the END line does not count).
    ASSERT_TRUE(WriteFileBytes(dir / "pem.pem", CertFile("g01_a.pem")));
    ASSERT_EQ(truncate((dir / "pem.pem").c_str(), kMaxCertificateFileSize), 0);
    EXPECT_TRUE(LoadCertificateFile((dir / "pem.pem").c_str(), info));
}

}  // namespace
}  // namespace keymend::test

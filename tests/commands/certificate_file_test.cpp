#include "commands/certificate_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

Bytes ToBytes(const SecureBlob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

Bytes CertFile(const std::string& name) {
    return ReadFileBytes(DataPath("certs/" + name));
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
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
            EXPECT_EQ(ToHex(ToBytes(info.publicKey)), ToHex(publicKeys.at(key.section)));
            // The encoding is the whole certificate, byte for byte as OpenSSL wrote it.
            EXPECT_EQ(ToBytes(info.encoding), CertFile(key.section + ".der"));
        }
    }
}

TEST(CertificateFile, TakesTheFirstCertificateOfABundle) {
    const Bytes bundle = CertFile("two.p7b");
    CertificateInfo info;
    ASSERT_TRUE(ParseCertificateFile(bundle.data(), bundle.size(), info));
    // Whatever order the bundle holds them in, the result is the one that comes first.
    const Bytes a = CertFile("g01_a.der"), b = CertFile("g01_b.der");
    auto at = [&](const Bytes& cert) {
        return std::search(bundle.begin(), bundle.end(), cert.begin(), cert.end()) - bundle.begin();
    };
    ASSERT_LT(std::max(at(a), at(b)), static_cast<long>(bundle.size()));
    EXPECT_EQ(ToBytes(info.encoding), at(a) < at(b) ? a : b);
}

Bytes Patched(Bytes data, const Bytes& needle, size_t offset, uint8_t value) {
    const auto it = std::search(data.begin(), data.end(), needle.begin(), needle.end());
    EXPECT_NE(it, data.end());
    if (it != data.end()) it[static_cast<long>(offset)] = value;
    return data;
}

TEST(CertificateFile, AcceptsOnlyWellFormedInput) {
    const Bytes der = CertFile("g01_a.der"), p7b = CertFile("g01_a.p7b");
    const Bytes pemBytes = CertFile("g01_a.pem");
    const std::string pem(pemBytes.begin(), pemBytes.end());
    auto replaced = [&](std::string s, const std::string& from, const std::string& to) {
        return Text(s.replace(s.find(from), from.size(), to));
    };
    const Bytes keyBits{0x03, 0x43, 0x00, 0x04, 0x40};  // subject public key BIT STRING header
    const Bytes signedData{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    Bytes trailing = der, indefinite = der;
    trailing.push_back(0x00);
    indefinite[1] = 0x80;
    const std::string body = pem.substr(pem.find('\n') + 1, 64);
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        const char* what;
        Bytes data;
        bool ok;
    } cases[] = {
        {"PEM after text that starts like DER", Text("0 is where this note starts\n" + pem), true},
        {"PEM after a byte order mark", Text(bom + pem), true},
        {"PEM after a byte order mark and text", Text("x" + bom + pem), false},
        {"empty file", {}, false},
        {"plain text", Text("hello\n"), false},
        {"trailing byte after DER", trailing, false},
        {"indefinite length", indefinite, false},
        {"unused bits in the key BIT STRING", Patched(der, keyBits, 2, 0x01), false},
        {"public key not an OCTET STRING", Patched(der, keyBits, 3, 0x05), false},
        {"not signedData", Patched(p7b, signedData, 8, 0x01), false},
        {"PEM without end line", Text(pem.substr(0, pem.find("-----END"))), false},
        {"PEM with a bad character", replaced(pem, body.substr(0, 1), "*"), false},
        {"PEM with a truncated body", replaced(pem, body, body.substr(0, 63)), false},
        {"PEM begin line not at line start", replaced(pem, "-----BEGIN", "x-----BEGIN"), false},
        {"PEM of another kind", replaced(pem, "BEGIN CERTIFICATE", "BEGIN PRIVATE KEY"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CertificateInfo info;
        ASSERT_EQ(ParseCertificateFile(c.data.data(), c.data.size(), info), c.ok);
        EXPECT_EQ(ToBytes(info.encoding), c.ok ? der : Bytes{});
        EXPECT_EQ(info.publicKey.empty(), !c.ok);
    }
    // Every proper prefix of a certificate and of a bundle is refused.
    for (const Bytes* whole : {&der, &p7b}) {
        for (size_t n = 0; n < whole->size(); ++n) {
            CertificateInfo info;
            ASSERT_FALSE(ParseCertificateFile(whole->data(), n, info)) << n;
        }
    }
}

TEST(CertificateFile, Base64IsStrict) {
    for (const VectorRecord& c : LoadVectors("certs/base64.vec", {"In", "Out"})) {
        std::string in = c.Get("In");
        for (size_t at; (at = in.find('\\')) != std::string::npos;) {
            const char next = in.at(at + 1);
            in.replace(at, 2, 1, next == 'r' ? '\r' : next == 'n' ? '\n' : '\t');
        }
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
    // A valid certificate followed by padding up to one byte over the limit: refused by size.
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

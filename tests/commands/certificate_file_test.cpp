#include "commands/certificate_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/test_support.h"

namespace keymend {
namespace {

using test::Bytes;
using test::DataPath;
using test::ReadFileBytes;

Bytes PublicKeyOf(const std::string& keyName) {
    for (const auto& record : test::LoadVectors("certs/keys.vec", {"Private", "Public"})) {
        if (record.section == keyName) return record.Hex("Public");
    }
    ADD_FAILURE() << "no key " << keyName;
    return {};
}

Bytes ToBytes(const SecureBlob& b) {
    return Bytes(b.data(), b.data() + b.size());
}

TEST(CertificateFile, ReadsEveryFormOpenSslWrites) {
    struct Case {
        const char* file;
        const char* key;
        const char* algorithm;
        const char* curve;
        const char* digest;
    };
    const Case cases[] = {
        {"g01_a.der", "g01_a", "1.2.643.2.2.19", "1.2.643.2.2.35.1", "1.2.643.2.2.30.1"},
        {"g01_a.pem", "g01_a", "1.2.643.2.2.19", "1.2.643.2.2.35.1", "1.2.643.2.2.30.1"},
        {"g01_a.p7b", "g01_a", "1.2.643.2.2.19", "1.2.643.2.2.35.1", "1.2.643.2.2.30.1"},
        {"g01_a.p7b.pem", "g01_a", "1.2.643.2.2.19", "1.2.643.2.2.35.1", "1.2.643.2.2.30.1"},
        {"g01_xa.der", "g01_xa", "1.2.643.2.2.19", "1.2.643.2.2.36.0", "1.2.643.2.2.30.1"},
        {"g12_256_b.pem", "g12_256_b", "1.2.643.7.1.1.1.1", "1.2.643.2.2.35.2",
         "1.2.643.7.1.1.2.2"},
        // Parameters holding only the curve OID: the digest set follows from the algorithm.
        {"g12_256_tca.der", "g12_256_tca", "1.2.643.7.1.1.1.1", "1.2.643.7.1.2.1.1.1",
         "1.2.643.7.1.1.2.2"},
        {"g12_512_a.der", "g12_512_a", "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.1",
         "1.2.643.7.1.1.2.3"},
        {"g12_512_c.p7b", "g12_512_c", "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.3",
         "1.2.643.7.1.1.2.3"},
        {"g12_512_c.p7b.pem", "g12_512_c", "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.3",
         "1.2.643.7.1.1.2.3"},
        // Several certificates: the first one counts.
        {"two_b_then_a.pem", "g01_b", "1.2.643.2.2.19", "1.2.643.2.2.35.2", "1.2.643.2.2.30.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        CertificateInfo info;
        ASSERT_TRUE(LoadCertificateFile(DataPath(std::string("certs/") + c.file).c_str(), info));
        EXPECT_EQ(info.algorithmOid, c.algorithm);
        EXPECT_EQ(info.curveOid, c.curve);
        EXPECT_EQ(info.digestOid, c.digest);
        EXPECT_EQ(test::ToHex(ToBytes(info.publicKey)), test::ToHex(PublicKeyOf(c.key)));
        // The encoding is the whole certificate, byte for byte as OpenSSL wrote it.
        Bytes der = ReadFileBytes(DataPath(std::string("certs/") + c.key + ".der"));
        EXPECT_EQ(ToBytes(info.encoding), der);
    }
}

TEST(CertificateFile, PemTextMayStartLikeDer) {
    Bytes pem = ReadFileBytes(DataPath("certs/g01_a.pem"));
    const std::string lead = "0 is where this note starts\n";
    pem.insert(pem.begin(), lead.begin(), lead.end());
    CertificateInfo info;
    ASSERT_TRUE(ParseCertificateFile(pem.data(), pem.size(), info));
    EXPECT_EQ(ToBytes(info.encoding), ReadFileBytes(DataPath("certs/g01_a.der")));
}

TEST(CertificateFile, PemMayFollowAByteOrderMark) {
    Bytes pem = ReadFileBytes(DataPath("certs/g01_a.pem"));
    pem.insert(pem.begin(), {0xEF, 0xBB, 0xBF});
    CertificateInfo info;
    ASSERT_TRUE(ParseCertificateFile(pem.data(), pem.size(), info));
    EXPECT_EQ(ToBytes(info.encoding), ReadFileBytes(DataPath("certs/g01_a.der")));
    // Anything else in front of the BEGIN line on the same line is still refused.
    pem.insert(pem.begin(), 'x');
    EXPECT_FALSE(ParseCertificateFile(pem.data(), pem.size(), info));
}

TEST(CertificateFile, TakesTheFirstCertificateOfABundle) {
    Bytes bundle = ReadFileBytes(DataPath("certs/two.p7b"));
    CertificateInfo info;
    ASSERT_TRUE(ParseCertificateFile(bundle.data(), bundle.size(), info));
    // Whatever order the bundle holds them in, the result is the one that comes first.
    Bytes a = ReadFileBytes(DataPath("certs/g01_a.der"));
    Bytes b = ReadFileBytes(DataPath("certs/g01_b.der"));
    auto at = [&](const Bytes& cert) {
        return std::search(bundle.begin(), bundle.end(), cert.begin(), cert.end()) - bundle.begin();
    };
    ASSERT_LT(at(a), static_cast<long>(bundle.size()));
    ASSERT_LT(at(b), static_cast<long>(bundle.size()));
    EXPECT_EQ(ToBytes(info.encoding), at(a) < at(b) ? a : b);
}

Bytes Patched(Bytes data, size_t offset, uint8_t value) {
    data.at(offset) = value;
    return data;
}

size_t Find(const Bytes& data, const Bytes& needle) {
    auto it = std::search(data.begin(), data.end(), needle.begin(), needle.end());
    EXPECT_NE(it, data.end());
    return static_cast<size_t>(it - data.begin());
}

TEST(CertificateFile, RefusesMalformedInput) {
    const Bytes der = ReadFileBytes(DataPath("certs/g01_a.der"));
    const Bytes p7b = ReadFileBytes(DataPath("certs/g01_a.p7b"));
    const Bytes pemBytes = ReadFileBytes(DataPath("certs/g01_a.pem"));
    const std::string pem(pemBytes.begin(), pemBytes.end());
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    auto replaced = [&](std::string s, const std::string& from, const std::string& to) {
        s.replace(s.find(from), from.size(), to);
        return text(s);
    };
    // Offsets of the subject public key pieces (the BIT STRING header 03 43 00 04 40).
    const size_t bits = Find(der, {0x03, 0x43, 0x00, 0x04, 0x40});
    const size_t signedDataOid = Find(p7b, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02});

    Bytes trailing = der;
    trailing.push_back(0x00);
    Bytes indefinite = der;
    indefinite[1] = 0x80;
    const std::string body = pem.substr(pem.find('\n') + 1, 64);
    struct Case {
        const char* what;
        Bytes data;
    };
    const Case cases[] = {
        {"empty file", {}},
        {"plain text", text("hello\n")},
        {"trailing byte after DER", trailing},
        {"indefinite length", indefinite},
        {"unused bits in the key BIT STRING", Patched(der, bits + 2, 0x01)},
        {"public key not an OCTET STRING", Patched(der, bits + 3, 0x05)},
        {"not signedData", Patched(p7b, signedDataOid + 8, 0x01)},
        {"PEM without end line", text(pem.substr(0, pem.find("-----END")))},
        {"PEM with a bad character", replaced(pem, body.substr(0, 1), "*")},
        {"PEM with a truncated body", replaced(pem, body, body.substr(0, 63))},
        {"PEM begin line not at line start", replaced(pem, "-----BEGIN", "x-----BEGIN")},
        {"PEM of another kind", replaced(pem, "BEGIN CERTIFICATE", "BEGIN PRIVATE KEY")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CertificateInfo info;
        EXPECT_FALSE(ParseCertificateFile(c.data.data(), c.data.size(), info));
        EXPECT_TRUE(info.encoding.empty());
        EXPECT_TRUE(info.publicKey.empty());
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
    struct Case {
        const char* in;
        bool ok;
        const char* hex;
    };
    const Case cases[] = {
        {"", true, ""},
        {"QQ==", true, "41"},
        {"QUI=", true, "4142"},
        {"QUJD", true, "414243"},
        {"QU\r\nJD \t", true, "414243"},
        {"QR==", false, ""},
        {"QUJ=", false, ""},
        {"Q===", false, ""},
        {"QQ=", false, ""},
        {"QQ", false, ""},
        {"QQ==QUJD", false, ""},
        {"QUJ*", false, ""},
        {"=QQQ", false, ""},
        {"QUJDQ", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        std::vector<uint8_t> out;
        ASSERT_EQ(Base64Decode(c.in, std::char_traits<char>::length(c.in), out), c.ok);
        if (c.ok) {
            EXPECT_EQ(test::ToHex(out), c.hex);
        }
    }
}

TEST(CertificateFile, RefusesOversizedAndMissingFiles) {
    test::TempDir dir;
    CertificateInfo info;
    EXPECT_FALSE(LoadCertificateFile((dir / "missing.der").c_str(), info));
    // A valid certificate followed by padding up to one byte over the limit: refused by size.
    Bytes der = ReadFileBytes(DataPath("certs/g01_a.der"));
    ASSERT_TRUE(test::WriteFileBytes(dir / "big.der", der));
    ASSERT_EQ(truncate((dir / "big.der").c_str(), kMaxCertificateFileSize + 1), 0);
    EXPECT_FALSE(LoadCertificateFile((dir / "big.der").c_str(), info));
    // The same file at the limit gets as far as parsing (and fails on the trailing zeros).
    ASSERT_TRUE(test::WriteFileBytes(dir / "pem.pem", ReadFileBytes(DataPath("certs/g01_a.pem"))));
    ASSERT_EQ(truncate((dir / "pem.pem").c_str(), kMaxCertificateFileSize), 0);
    EXPECT_TRUE(LoadCertificateFile((dir / "pem.pem").c_str(), info));
}

}  // namespace
}  // namespace keymend

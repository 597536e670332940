// Certificate files as the commands read them: DER, PEM and PKCS#7 in both encodings, the first
// certificate of a bundle, strict Base64, the inputs refused, and the descriptive fields.
#include "x509/certificate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "commands/certificate_file.h"
#include "container/container_builder.h"
#include "x509/x509_internal.h"
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
            const Bytes bytes = CertFile(file);
            EXPECT_TRUE(ParseCertificateFile(bytes.data(), bytes.size(), info));
            EXPECT_STREQ(info.algorithmOid.c_str(), key.Get("Algorithm").c_str());
            EXPECT_STREQ(info.curveOid.c_str(), key.Get("Curve").c_str());
            EXPECT_STREQ(info.digestOid.c_str(), key.Get("Digest").c_str());
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
        EXPECT_EQ(ParseCertificateFile(data.data(), data.size(), info), ok);
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
        EXPECT_EQ(Base64Decode(in.data(), in.size(), out), c.section == "Accepted");
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

// "2026-12-06 22:55:28Z", as OpenSSL prints a time with -dateopt iso_8601.
std::string IsoTime(const CalendarTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02uZ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

// The serial number as OpenSSL prints it: upper-case hex without leading zero octets.
std::string SerialHex(const std::vector<uint8_t>& serial) {
    size_t first = 0;
    while (first + 1 < serial.size() && serial[first] == 0) ++first;
    std::string hex = ToHex(serial.data() + first, serial.size() - first);
    for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

// Subject, serial number and validity of certificates OpenSSL makes, as OpenSSL reads them;
// every case is checked and every mismatch reported.
TEST(CertificateFile, DescriptionAsOpenSslReadsIt) {
    if (!OpenSslGostAvailable()) GTEST_SKIP() << "OpenSSL with the GOST engine is missing";
    TempDir dir;
    int n = 0;
    for (const VectorRecord& c : LoadVectors("certs/subjects.vec", {"Subject", "Mask"})) {
        SCOPED_TRACE(c.Get("Subject") + " (" + c.Get("Mask") + ")");
        const std::string base = dir / std::to_string(++n);
        ASSERT_TRUE(WriteFileBytes(base + ".cnf", [&] {
            const std::string text = "[req]\ndistinguished_name=dn\nstring_mask=" + c.Get("Mask") +
                                     "\n[dn]\n";
            return Bytes(text.begin(), text.end());
        }()));
        std::string subject = c.Get("Subject");
        for (size_t at = 0; (at = subject.find('\'', at)) != std::string::npos; at += 4) {
            subject.replace(at, 1, "'\\''");
        }
        const RunResult made = RunShell(
            "openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes "
            "-keyout '" + base + ".key' -outform DER -out '" + base + ".der' -days " +
            std::to_string(n) + " -set_serial " + std::to_string(n * 0x10203) +
            " -utf8 -multivalue-rdn -config '" + base + ".cnf' -subj '" + subject + "' 2>&1");
        ASSERT_EQ(made.exitCode, 0) << made.out;
        const RunResult read = RunShell("openssl x509 -inform DER -in '" + base +
                                        ".der' -noout -subject -serial -startdate -enddate "
                                        "-dateopt iso_8601 -nameopt RFC2253,-esc_msb");
        ASSERT_EQ(read.exitCode, 0);

        const Bytes der = ReadFileBytes(base + ".der");
        CertificateInfo info;
        EXPECT_TRUE(ParseCertificateFile(der.data(), der.size(), info));
        EXPECT_TRUE(info.described);
        EXPECT_EQ("subject=" + info.subject + "\nserial=" + SerialHex(info.serialNumber) +
                      "\nnotBefore=" + IsoTime(info.notBefore) +
                      "\nnotAfter=" + IsoTime(info.notAfter) + "\n",
                  read.out);
    }
}

// Certificate times: the forms RFC 5280 allows and the ones refused.
TEST(CertificateFile, TimesAreStrict) {
    const struct {
        uint8_t identifier;
        const char* text;
        const char* time;  // IsoTime, or null: refused
    } kCases[] = {
        {kDerUtcTimeId, "491231235959Z", "2049-12-31 23:59:59Z"},
        {kDerUtcTimeId, "500101000000Z", "1950-01-01 00:00:00Z"},
        {kDerGeneralizedTimeId, "20240229120000Z", "2024-02-29 12:00:00Z"},
        {kDerGeneralizedTimeId, "21000229120000Z", nullptr},  // not a leap year
        {kDerUtcTimeId, "2402291200Z", nullptr},             // no seconds
        {kDerUtcTimeId, "240229120000+0300", nullptr},       // not UTC
        {kDerGeneralizedTimeId, "20241301000000Z", nullptr},
        {kDerGeneralizedTimeId, "20240101240000Z", nullptr},
        {kDerGeneralizedTimeId, "2024010100000aZ", nullptr},
        {kDerUtcTimeId, "20240229120000Z", nullptr},         // a generalized form as UTCTime
        {kDerOctetString, "240229120000Z", nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        const DerBlob content{static_cast<uint32_t>(std::strlen(c.text)),
                              reinterpret_cast<const uint8_t*>(c.text)};
        CalendarTime time;
        ASSERT_EQ(CertificateTime(c.identifier, content, time), c.time != nullptr);
        if (c.time != nullptr) {
            EXPECT_EQ(IsoTime(time), c.time);
        }
    }
}

}  // namespace
}  // namespace keymend::test

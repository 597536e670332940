// The work a PKCS#12 file may ask for: files rewritten from a real export and sealed again with
// a valid MAC by keymend's own primitives, then read while the key derivations are counted.
#include <gtest/gtest.h>

#include <functional>

#include "asn1/oid.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"
#include "hardening/hardening_support.h"
#include "commands/import.h"
#include "pkcs12/pkcs12_internal.h"
#include "pkcs12/pkcs12_fixtures.h"
#include "resources/string_table.h"

namespace keymend::test {
namespace {

Der Integer(uint64_t value) {
    Bytes content;
    for (; value != 0; value >>= 8) content.insert(content.begin(), static_cast<uint8_t>(value));
    if (content.empty() || content[0] & 0x80) content.insert(content.begin(), 0);
    return Der::Prim(0x02, content);
}

std::string OidText(const Der& oid) {
    char text[kOidTextBufferSize] = {};
    EXPECT_TRUE(OidContentToText(text, sizeof text, oid.content.data(),
                                 static_cast<uint32_t>(oid.content.size())));
    return text;
}

// sign-2001.pfx (password "secret", two iterations everywhere): an encrypted safe of
// certificates, then a data safe with the shrouded key; an HMAC GOST R 34.11-2012-512 MAC.
struct Pfx {
    Der root = Der::Parse(ReadFileBytes(SignKey().pfx));
    Der safes = Der::Parse(root[1][1][0].content);

    Der& CertificateSafe(size_t i = 0) { return safes[i][1][0][1]; }  // EncryptedContentInfo
    // The PBES2 iteration count of an encrypted safe, and of the key bag of the last safe.
    Der& SafeIterations(size_t i) { return CertificateSafe(i)[1][1][0][1][1]; }
    void SetKeyIterations(uint64_t n) {
        Der& octets = safes[safes.kids.size() - 1][1][0];
        Der bags = Der::Parse(octets.content);
        bags[0][1][0][0][1][0][1][1] = Integer(n);
        octets.content = bags.Encode();
    }

    // The certificate safe en- or decrypted in place under its own PBES2 parameters.
    Bytes Crypt(Der& info, const Bytes& data, bool decrypt) {
        Der& params = info[1][1];
        Der& kdf = params[0][1];
        const uint32_t prf =
            OidText(kdf[2][0]) == "1.2.643.2.2.10" ? kPrfGostR341194 : kPrfStreebog512;
        uint64_t iterations = 0;
        for (uint8_t b : kdf[1].content) iterations = iterations << 8 | b;
        uint8_t key[32];
        Bytes out = data;
        EXPECT_TRUE(Pbkdf2Block(key, 32, prf, "secret", kdf[0].content.data(),
                                kdf[0].content.size(), iterations, 1));
        EXPECT_TRUE(Gost28147Crypt(out.data(), out.size(),
                                   decrypt ? CipherDirection::kDecrypt : CipherDirection::kEncrypt,
                                   kGost28147Cfb, key, 32, OidText(params[1][1][1]).c_str(),
                                   params[1][1][0].content.data()));
        return out;
    }
    // Replaces the certificate bags of the first safe by `count` copies of its first one.
    void CopyCertificateBag(size_t count) {
        Der& encrypted = CertificateSafe()[2];
        Der bags = Der::Parse(Crypt(CertificateSafe(), encrypted.content, true));
        bags.kids.assign(count, bags[0]);
        encrypted.content = Crypt(CertificateSafe(), bags.Encode(), false);
    }

    // The file with a MAC recomputed over the changed safes (a wrong one when `breakMac`).
    Bytes Seal(bool breakMac = false) {
        root[1][1][0].content = safes.Encode();
        Der& mac = root[2];
        EXPECT_EQ(OidText(mac[0][0][0]), "1.2.643.7.1.1.2.3");
        const Bytes& input = root[1][1][0].content;
        uint8_t key[32];
        Bytes digest(64);
        EXPECT_TRUE(Pbkdf2Block(key, 32, kPrfStreebog512, "secret", mac[1].content.data(),
                                mac[1].content.size(), 2, 2));
        EXPECT_TRUE(
            HmacById(input.data(), input.size(), digest.data(), 64, key, 32, kAlgHmacStreebog512));
        digest[0] ^= breakMac ? 1 : 0;
        mac[0][1].content = digest;
        return root.Encode();
    }
};

// What each file costs: derivations run before the reader accepts or refuses it, and why.
TEST(Pkcs12Bounds, WorkIsCountedBeforeItIsSpent) {
    const auto copies = [](size_t n) {
        return [n](Pfx& p) { p.safes.kids.insert(p.safes.kids.begin(), n, p.safes[0]); };
    };
    const auto over = [](Pfx& p) {  // 500,000 + 499,999 + 2 (+ the MAC's 2)
        p.safes.kids.insert(p.safes.kids.begin(), p.safes[0]);
        p.SafeIterations(0) = Integer(500'000);
        p.SetKeyIterations(499'999);
    };
    const struct {
        const char* name;
        std::function<void(Pfx&)> change;
        bool breakMac, noMac, sealed;
        Pkcs12Failure failure;
        uint64_t derivations;
    } cases[] = {
        {"as exported", {}, false, false, true, Pkcs12Failure::kNone, 3},
        {"MAC broken", {}, true, false, true, Pkcs12Failure::kRejected, 1},
        {"64 ContentInfos", copies(62), false, false, true, Pkcs12Failure::kNone, 65},
        {"65 ContentInfos", copies(63), false, false, true, Pkcs12Failure::kTooMuchWork, 1},
        {"65 ContentInfos, MAC broken", copies(63), true, false, true, Pkcs12Failure::kRejected, 1},
        {"65 ContentInfos, MAC unchecked", copies(63), true, true, true,
         Pkcs12Failure::kTooMuchWork, 0},
        {"iterations over the budget together", over, false, false, true,
         Pkcs12Failure::kTooMuchWork, 1},
        {"the same, MAC unchecked", over, true, true, true, Pkcs12Failure::kTooMuchWork, 0},
        {"one derivation over its limit", [](Pfx& p) { p.SafeIterations(0) = Integer(500'001); },
         false, false, true, Pkcs12Failure::kTooMuchWork, 1},
        {"MAC iterations over the limit", [](Pfx& p) { p.root[2][2] = Integer(500'001); }, false,
         false, false, Pkcs12Failure::kTooMuchWork, 0},
        {"MAC iterations 2^62", [](Pfx& p) { p.root[2][2] = Integer(uint64_t{1} << 62); }, false,
         false, false, Pkcs12Failure::kTooMuchWork, 0},
        {"512 bags", [](Pfx& p) { p.CopyCertificateBag(512); }, false, false, true,
         Pkcs12Failure::kNone, 3},
        {"513 bags", [](Pfx& p) { p.CopyCertificateBag(513); }, false, false, true,
         Pkcs12Failure::kTooMuchWork, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pfx pfx;
        if (c.change) c.change(pfx);
        const Bytes file = c.sealed ? pfx.Seal(c.breakMac) : pfx.root.Encode();
        ContainerImagePtr image;
        Pkcs12Failure failure = Pkcs12Failure::kNone;
        const uint64_t before = Pkcs12DerivationCount();
        const bool ok = ReadPkcs12Key(DerBlob{static_cast<uint32_t>(file.size()), file.data()},
                                      "secret", image, ImportSlot::kFirstKey, 2, c.noMac,
                                      &failure);
        EXPECT_EQ(ok, c.failure == Pkcs12Failure::kNone);
        EXPECT_EQ(static_cast<int>(failure), static_cast<int>(c.failure));
        EXPECT_EQ(Pkcs12DerivationCount() - before, c.derivations);
    }
}

// The survey alone: a count of 0 costs one iteration; one derivation may ask for the limit.
TEST(Pkcs12Bounds, SurveySumsEveryDerivation) {
    Pfx pfx;
    pfx.SafeIterations(0) = Integer(kMaxPbkdf2Iterations);
    pfx.SetKeyIterations(0);
    Bytes safes;
    for (const Der& safe : pfx.safes.kids) safes = Cat({safes, safe.Encode()});
    const DerBlob content{static_cast<uint32_t>(safes.size()), safes.data()};
    uint64_t iterations = 7;
    Pkcs12Failure failure = Pkcs12Failure::kNone;
    EXPECT_TRUE(AddSafesWork(content, &iterations, &failure));
    EXPECT_EQ(iterations, 7 + kMaxPbkdf2Iterations + 1);
    EXPECT_EQ(static_cast<int>(failure), static_cast<int>(Pkcs12Failure::kNone));
}

// The standard derivations in the survey: PBKDF2 iterations times the digest-sized blocks of the
// key; RFC 7292 PBE iterations times the SHA-1 blocks of the key and the IV's one, and times the
// password forms tried.
TEST(Pkcs12Bounds, SurveyCountsStandardDerivations) {
    const auto all = CommittedPkcs12Fixtures();
    const struct {
        const char* file;
        uint32_t forms;
        uint64_t iterations;
    } cases[] = {
        {"std-2001-default.pfx", 1, 2048 * (1 + 1)},              // AES-256 under SHA-256, twice
        {"std-2012_256-legacy.pfx", 1, 2048 * ((1 + 1) + (2 + 1))},  // RC2-40, 3-key 3DES
        {"std-2012_256-legacy.pfx", 2, 2 * 2048 * ((1 + 1) + (2 + 1))},
        {"std-2001-pbes2-des3.pfx", 1, 2048 * ((1 + 1) + 2)},     // 2-key 3DES; 3DES, SHA-1
        {"std-2012_512-aes192-rc2-128.pfx", 2, 2048 * (2 * (1 + 1) + 2)},  // RC2-128; AES-192
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Pkcs12Fixture* f = FindFixture(all, c.file);
        ASSERT_NE(f, nullptr);
        const Der safes = Der::Parse(Der::Parse(ReadFileBytes(f->path))[1][1][0].content);
        Bytes content;
        for (const Der& safe : safes.kids) content = Cat({content, safe.Encode()});
        uint64_t iterations = 0;
        Pkcs12Failure failure = Pkcs12Failure::kNone;
        EXPECT_TRUE(AddSafesWork(DerBlob{static_cast<uint32_t>(content.size()), content.data()},
                                 &iterations, &failure, true, c.forms));
        EXPECT_EQ(iterations, c.iterations);
    }
}

// The binary says why: its own message, exit code 1, no container.
TEST(Pkcs12Bounds, TooMuchWorkHasItsOwnMessage) {
    TempDir dir;
    Pfx pfx;
    pfx.SafeIterations(0) = Integer(kMaxPbkdf2Iterations + 1);
    ASSERT_TRUE(WriteFileBytes(dir / "in.pfx", pfx.Seal()));
    const RunResult run = RunKeymend({"-p12tokv", "-rdrfolder", dir.path(), "-contname", "x", "-sg",
                                      "-infile", dir / "in.pfx", "-passp12", "secret"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, FailureOutput(kMsgPkcs12TooMuchWork));
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"in.pfx"});
}

// An algorithm the reader lacks is named, in both languages.
TEST(Pkcs12Bounds, UnsupportedAlgorithmIsNamed) {
    TempDir dir;
    Der pfx = Der::Parse(ReadFileBytes(DataPath("pkcs12/std-2001-default.pfx")));
    pfx[2][0][0][0] = Der::Oid("1.2.840.113549.2.5");  // an MD5 MAC
    ASSERT_TRUE(WriteFileBytes(dir / "in.pfx", pfx.Encode()));
    for (const char* lang : {"LANG=C", "LANG=ru_RU.UTF-8"}) {
        const RunResult run =
            RunKeymend({"-p12tokv", "-rdrfolder", dir.path(), "-contname", "x", "-sg", "-infile",
                        dir / "in.pfx", "-passp12", "secret"},
                       {lang});
        const Language language = lang[5] == 'r' ? Language::kRussian : Language::kEnglish;
        std::string text(MessageText(kMsgPkcs12Unsupported, language));
        text.replace(text.find("%1"), 2, "1.2.840.113549.2.5");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, text + "\n" + std::string(MessageText(kMsgFailure, language)) + "\n");
    }
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"in.pfx"});
}

}  // namespace
}  // namespace keymend::test

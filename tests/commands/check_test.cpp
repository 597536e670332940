// -kvcheck: its findings for each kind of damage, its verdict against what -kvrepair and
// -kvpublic then do, and a folder left exactly as it was.
#include "commands/check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "cli/check_report.h"
#include "container/container.h"
#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

// Every entry's bytes and modification time, and the folder's.
struct FolderState {
    FolderSnapshot files;
    std::vector<std::pair<std::string, fs::file_time_type>> times;
    bool operator==(const FolderState&) const = default;
};

FolderState StateOf(const std::string& folder) {
    FolderState state{Snapshot(folder), {{".", fs::last_write_time(folder)}}};
    for (const std::string& name : Entries(folder)) {
        state.times.emplace_back(name, fs::last_write_time(folder + "/" + name));
    }
    return state;
}

enum Certs { kNone, kSignOnly, kBoth };

ContainerCheck Check(const std::string& folder, const std::u16string& password, Certs certs) {
    CheckOptions options;
    options.contFolder = folder.c_str();
    options.password = password.c_str();
    options.certSg = certs != kNone ? SignKey().certificate.c_str() : nullptr;
    options.certEx = certs == kBoth ? ExchangeKey().certificate.c_str() : nullptr;
    ContainerCheck check;
    CheckContainer(options, check);
    return check;
}

std::vector<std::string> CertArgs(Certs certs) {
    std::vector<std::string> args;
    if (certs != kNone) args.insert(args.end(), {"-certsg", SignKey().certificate});
    if (certs == kBoth) args.insert(args.end(), {"-certex", ExchangeKey().certificate});
    return args;
}

// The certificates the verdict names: a file given, or the header's certificate of key 1 (the
// signature key) or key 2 (the exchange key) of the fixtures.
std::vector<std::string> NamedCertArgs(const ContainerCheck& check) {
    std::vector<std::string> args;
    const std::pair<const char*, const RepairCertificate*> named[] = {{"-certex", &check.repairEx},
                                                                      {"-certsg", &check.repairSg}};
    for (const auto& [option, cert] : named) {
        if (!cert->needed) continue;
        args.push_back(option);
        args.push_back(!cert->path.empty() ? cert->path
                       : cert->key == 1    ? SignKey().certificate
                                           : ExchangeKey().certificate);
    }
    return args;
}

TEST(Check, VerdictAgreesWithRepairAndPublicExport) {
    TempDir dir;
    const std::string two = MakeFixtureContainer(dir / "two", "", true);
    const std::string one = MakeFixtureContainer(dir / "one", "", false);
    const std::string locked = MakeFixtureContainer(dir / "locked", "pw", false);
    ASSERT_FALSE(two.empty() || one.empty() || locked.empty());
    const FolderSnapshot pristineTwo = Snapshot(two), pristineOne = Snapshot(one),
                         pristineLocked = Snapshot(locked);
    constexpr int kAny = -1;
    const struct {
        std::string damage, swapFromOne;  // damage words, files taken from the one-key container
        bool passwordFixture;
        std::string password;
        Certs certs;
        int file;  // index in ContainerCheck::files whose finding is checked, or kAny
        CheckedFile state;
        int offset;  // of a kNotDer / kTrailingBytes finding, or kAny
        CheckVerdict verdict;
    } cases[] = {
        // clang-format off
        {"", "", false, "", kBoth, kAny, CheckedFile::kOk, kAny, CheckVerdict::kHealthy},
        {"name.key", "", false, "", kBoth, 0, CheckedFile::kMissing, kAny, CheckVerdict::kRepairable},
        {"header.key", "", false, "", kBoth, 1, CheckedFile::kMissing, kAny, CheckVerdict::kRepairable},
        {"primary.key", "", false, "", kBoth, 2, CheckedFile::kMissing, kAny, CheckVerdict::kRepairable},
        {"masks.key", "", false, "", kBoth, 3, CheckedFile::kMissing, kAny, CheckVerdict::kRepairable},
        {"primary2.key", "", false, "", kBoth, 4, CheckedFile::kMissing, kAny, CheckVerdict::kRepairable},
        {"masks2.key", "", false, "", kBoth, 5, CheckedFile::kMissing, kAny, CheckVerdict::kRepairable},
        {"name.key header.key primary.key masks.key primary2.key masks2.key", "", false, "", kBoth,
         1, CheckedFile::kMissing, kAny, CheckVerdict::kNotContainer},
        {"primary.key/", "", false, "", kBoth, 2, CheckedFile::kUnreadable, kAny, CheckVerdict::kFileBlocked},
        // The header's MAC, a mask check value, a key byte: the records still decode.
        {"header.key@1", "", false, "", kBoth, 1, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        {"masks.key@1", "", false, "", kBoth, 3, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        {"primary.key@3", "", false, "", kBoth, 2, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        // The salt's identifier (byte 36 of 56) turned from OCTET STRING into NULL.
        {"masks.key@20^01", "", false, "", kBoth, 3, CheckedFile::kNotDer, 36, CheckVerdict::kRepairable},
        {"primary2.key#7", "", false, "", kBoth, 4, CheckedFile::kNotDer, 0, CheckVerdict::kRepairable},
        {"header.key#40", "", false, "", kBoth, 1, CheckedFile::kNotDer, kAny, CheckVerdict::kRepairable},
        // Zero padding after the header is the extended header's; anything else is damage.
        {"header.key+00", "", false, "", kBoth, 1, CheckedFile::kOk, kAny, CheckVerdict::kHealthy},
        {"header.key+00 header.key+5A", "", false, "", kBoth, 1, CheckedFile::kTrailingBytes, kAny,
         CheckVerdict::kRepairable},
        {"masks2.key+00", "", false, "", kBoth, 5, CheckedFile::kTrailingBytes, 56, CheckVerdict::kRepairable},
        // A copy from another container: one that lost the second key, one under another mask.
        {"", "primary.key masks.key", false, "", kBoth, 2, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        {"", "primary.key", false, "", kBoth, 2, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        // The certificates recorded in the header stand in for files not given.
        {"primary.key@3", "", false, "", kNone, 2, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        {"header.key", "", false, "", kNone, 1, CheckedFile::kMissing, kAny, CheckVerdict::kNeedsCertificate},
        // Without header the exchange key is confirmed only by its two copies agreeing.
        {"header.key", "", false, "", kSignOnly, kAny, CheckedFile::kOk, kAny, CheckVerdict::kRepairable},
        {"header.key primary2.key@3", "", false, "", kSignOnly, kAny, CheckedFile::kOk, kAny,
         CheckVerdict::kNeedsExchangeCertificate},
        {"", "", false, "x", kBoth, kAny, CheckedFile::kOk, kAny, CheckVerdict::kNoCopyDecrypts},
        {"", "", true, "pw", kSignOnly, kAny, CheckedFile::kOk, kAny, CheckVerdict::kHealthy},
        {"", "", true, "bad", kSignOnly, kAny, CheckedFile::kOk, kAny, CheckVerdict::kWrongPassword},
        {"header.key@1", "", true, "bad", kSignOnly, kAny, CheckedFile::kOk, kAny,
         CheckVerdict::kNoCopyDecrypts},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage + " | " + c.swapFromOne + " | password " + c.password);
        const std::string& folder = c.passwordFixture ? locked : two;
        Restore(two, pristineTwo);
        Restore(locked, pristineLocked);
        for (const std::string& name : Words(c.swapFromOne)) {
            ASSERT_TRUE(WriteFileBytes(folder + "/" + name, pristineOne.at(name)));
        }
        DamageFolder(folder, c.damage);
        const std::u16string password(c.password.begin(), c.password.end());

        const FolderState before = StateOf(folder);
        const ContainerCheck check = Check(folder, password, c.certs);
        ASSERT_TRUE(StateOf(folder) == before) << "-kvcheck changed the folder";
        EXPECT_EQ(check.verdict, c.verdict);
        if (c.file != kAny) {
            EXPECT_EQ(check.files[c.file].state, c.state);
            if (c.offset != kAny) {
                EXPECT_EQ(check.files[c.file].offset, static_cast<uint32_t>(c.offset));
            }
        }
        const std::vector<std::string> args = {"-kvcheck", "-contfolder", folder, "-passkv",
                                               c.password};
        std::vector<std::string> withCerts = args;
        for (const std::string& arg : CertArgs(c.certs)) withCerts.push_back(arg);
        const RunResult run = RunKeymend(withCerts);
        EXPECT_EQ(run.exitCode, c.verdict == CheckVerdict::kHealthy ? 0 : 1);
        EXPECT_EQ(run.out, CheckReportText(check, Language::kEnglish) +
                               (c.verdict == CheckVerdict::kHealthy ? "Successfully finished.\n"
                                                                    : "Failed while executing.\n"));
        ASSERT_TRUE(StateOf(folder) == before) << "keymend -kvcheck changed the folder";

        Bytes primary, secondary;
        EXPECT_EQ(RecoverPublicKeys(folder, password.c_str(), primary, secondary),
                  check.publicKeysRecoverable);

        // The repair, given the certificates the verdict names (or those -kvcheck had).
        const bool repairable = c.verdict == CheckVerdict::kRepairable;
        std::vector<std::string> repair = {"-kvrepair", "-contfolder", folder, "-passkv",
                                           c.password};
        for (const std::string& arg : repairable ? NamedCertArgs(check) : CertArgs(c.certs)) {
            repair.push_back(arg);
        }
        if (repair.size() == 5) continue;  // no certificate at all: the line is refused
        const CommandRun repaired = RunCommandInProcess(repair);
        EXPECT_EQ(repaired.ok, repairable || c.verdict == CheckVerdict::kHealthy);
        EXPECT_EQ(repaired.detailId,
                  c.verdict == CheckVerdict::kNeedsExchangeCertificate ? 129 : 0);
        if (repaired.ok) {
            EXPECT_EQ(Check(folder, password, c.certs).verdict, CheckVerdict::kHealthy);
        }
    }
}

TEST(Check, KeysCopiesAndCertificates) {
    TempDir dir;
    const std::string two = MakeFixtureContainer(dir / "two", "", true);
    const std::string one = MakeFixtureContainer(dir / "one", "", false);
    ASSERT_FALSE(two.empty() || one.empty());

    ContainerCheck check = Check(two, u"", kBoth);
    ASSERT_EQ(check.keys.size(), 2u);
    EXPECT_FALSE(check.keys[0].exchange);
    EXPECT_TRUE(check.keys[1].exchange);
    for (const KeyCheck& key : check.keys) {
        EXPECT_EQ(key.providerType, 75u);
        EXPECT_EQ(key.copiesAgree, 1);
        ASSERT_EQ(key.certificates.size(), 2u);  // the header's, then the one given
        for (const CertificateCheck& cert : key.certificates) {
            EXPECT_EQ(cert.holds, CertificateHolds::kThisKey);
            EXPECT_FALSE(cert.subject.empty() || cert.serial.empty());
            EXPECT_EQ(cert.notBefore.size(), 10u);
        }
    }
    EXPECT_TRUE(check.unmatched.empty());

    // A certificate of a key the container does not hold; a second copy holding another key.
    check = Check(one, u"", kBoth);
    ASSERT_EQ(check.unmatched.size(), 1u);
    EXPECT_EQ(check.unmatched[0].holds, CertificateHolds::kNoKey);
    EXPECT_EQ(check.verdict, CheckVerdict::kHealthy);
    DamageFolder(two, "primary2.key@3");  // the second key field of the second copy
    check = Check(two, u"", kNone);
    ASSERT_EQ(check.keys.size(), 2u);
    EXPECT_EQ(check.keys[1].copies[0], CopyKey::kMatches);
    EXPECT_EQ(check.keys[1].copies[1], CopyKey::kDiffers);
    EXPECT_EQ(check.keys[1].copiesAgree, 0);
    EXPECT_EQ(check.keys[0].copiesAgree, 1);
    EXPECT_EQ(check.verdict, CheckVerdict::kRepairable);
    EXPECT_EQ(check.repairSource, 1);
    DamageFolder(two, "primary.key@3");  // now the first copy's second key too: no source left
    EXPECT_EQ(Check(two, u"", kNone).verdict, CheckVerdict::kNoCopyDecrypts);

    // The name is printed as text: UTF-8 as it is, a control character and a stray byte escaped.
    ASSERT_TRUE(WriteFileBytes(one + "/name.key",
                               Bytes{0x30, 0x08, 0x16, 0x06, 0xD0, 0xAF, 0x07, 'b', 0xFF, '\\'}));
    EXPECT_EQ(Check(one, u"", kNone).name, "\xD0\xAF\\07b\\FF\\5C");
}

TEST(Check, InterruptedRewriteIsReportedNotFinished) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", false);
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(WriteFileBytes(folder + "/header.key.0123456789abcdef.new", Bytes{0x30, 0x00}));
    const FolderState before = StateOf(folder);
    EXPECT_EQ(Check(folder, u"", kNone).verdict, CheckVerdict::kPendingRewrite);
    EXPECT_TRUE(StateOf(folder) == before);
}

TEST(Check, ReportInBothLanguages) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", true);
    ASSERT_FALSE(folder.empty());
    DamageFolder(folder, "primary2.key#7");
    const struct {
        const char* lang;
        std::vector<std::string> lines;
    } cases[] = {
        {"LANG=C",
         {"  primary2.key  DAMAGED: not the expected DER record (byte 0)\n",
          "  certificate in header: CN=",
          "Verdict: damaged, repairable: keymend -kvrepair -contfolder " + folder +
              " -certex <certificate of key 2> -certsg <certificate of key 1> -exportableex "
              "-exportablesg\n"}},
        {"LANG=ru_RU.UTF-8",
         {"  primary2.key  ПОВРЕЖДЁН: не является ожидаемой записью DER (байт 0)\n",
          "Заключение: контейнер повреждён, восстановим: keymend -kvrepair -contfolder " + folder +
              " -certex <сертификат ключа 2> -certsg <сертификат ключа 1> -exportableex "
              "-exportablesg\n"}},
    };
    for (const auto& c : cases) {
        const RunResult run = RunKeymend({"-kvcheck", "-contfolder", folder}, {c.lang});
        EXPECT_EQ(run.exitCode, 1) << c.lang;
        for (const std::string& line : c.lines) {
            EXPECT_NE(run.out.find(line), std::string::npos) << c.lang << "\n" << run.out;
        }
    }
}

}  // namespace
}  // namespace keymend::test

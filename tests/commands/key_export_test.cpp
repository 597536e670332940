// -kvtop12 end to end: keys out of containers into PKCS#12 files that keymend's reader and
// OpenSSL with the GOST engine read back (MAC verified, the same private key and certificate),
// the exact structure written, and every refusal leaving nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <set>

#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/sha/sha.h"
#include "hardening/hardening_support.h"
#include "pkcs12/pkcs12.h"
#include "pkcs12/pkcs12_fixtures.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/seams.h"
#include "resources/string_table.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

const std::string kCyrillic = "пароль-экспорта";
const std::string kLong(100, 'q');  // longer than the HMAC block: hashed first (RFC 2104)

// What the binary prints for a failure with message `id`, %1 standing for `parameter`.
std::string Refusal(int id, const std::string& parameter = "") {
    std::string text(MessageText(id, Language::kEnglish));
    if (const size_t at = text.find("%1"); at != std::string::npos) {
        text.replace(at, 2, parameter);
    }
    return text + "\nFailed while executing.\n";
}

RunResult Keymend(const std::vector<std::string>& args) {
    return RunKeymend(args, {"LANG=C.UTF-8"});
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The key OpenSSL reads from a PKCS#12 file, MAC verified (as `openssl pkey -text` prints it;
// empty when OpenSSL refuses the file), and the certificate it lists first, in DER (hex).
struct OpenSslView {
    std::string key, certificate;
};
OpenSslView OpenSslReads(const std::string& file, const std::string& password, bool certificate) {
    const std::string pem = file + ".pem";
    const std::string read = "openssl pkcs12 -engine gost -in " + Quoted(file) + " -passin " +
                             Quoted("pass:" + password) + " -nodes -out " + Quoted(pem) +
                             " 2>/dev/null && openssl pkey -engine gost -text -noout -in " +
                             Quoted(pem) + " 2>/dev/null";
    OpenSslView view{RunShell(read).out, ""};
    if (certificate) {
        view.certificate = RunShell("openssl x509 -outform DER -in " + Quoted(pem) +
                                    " 2>/dev/null | xxd -p | tr -d '\\n'")
                               .out;
    }
    fs::remove(pem);
    return view;
}

// The key keymend's reader takes from a file: its PKCS#8 fields and the privateKey content.
struct CapturedKey final : Pkcs12KeySink {
    std::string algorithm, curve, digest;
    Bytes privateKey, publicKey;
    bool StoreKey(const Pkcs12PrivateKey& key, Pkcs12Failure*) override {
        algorithm = key.algorithm.c_str();
        curve = key.curve.c_str();
        digest = key.digest.c_str();
        privateKey.assign(key.privateKey.data, key.privateKey.data + key.privateKey.length);
        return true;
    }
    bool StoredPublicKey(uint8_t* out, size_t* length) override {
        std::copy(publicKey.begin(), publicKey.end(), out);
        *length = publicKey.size();
        return !publicKey.empty();
    }
};

bool ReadBack(const std::string& file, const std::string& password, CapturedKey& key,
              Bytes& certificate) {
    const Bytes bytes = ReadFileBytes(file);
    SecureBlob chosen;
    const bool ok = ReadPkcs12(DerBlob{static_cast<uint32_t>(bytes.size()), bytes.data()},
                               password.c_str(), false, key, chosen);
    certificate = BlobBytes(chosen);
    return ok;
}

// The public key -kvpublic writes for the first key of a container.
Bytes PublicOfContainer(const std::string& folder, const std::string& password) {
    EXPECT_EQ(Keymend({"-kvpublic", "-contfolder", folder, "-passkv", password}).exitCode, 0);
    return ReadFileBytes(folder + "/public1");
}

std::string OnlyEntry(const std::string& reader) {
    const std::vector<std::string> entries = Entries(reader);
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? "" : reader + "/" + entries[0];
}

// Every fixture the import takes (OpenSSL's fresh ones when it is there) goes into a container,
// out again with -kvtop12 under each kind of password, and is read back by OpenSSL and imported
// again: the same private key, certificate and public key. The ten files of every curve set
// travel as signature and as exchange key; each file is read by OpenSSL once.
TEST(KeyExport, FixturesTravelBothWays) {
    const bool openssl = !GeneratedPkcs12Fixtures().empty();
    const std::vector<Pkcs12Fixture> fixtures =
        openssl ? GeneratedPkcs12Fixtures() : CommittedPkcs12Fixtures();
    const std::string passwords[] = {kCyrillic, "", kLong};
    int n = 0;
    for (const Pkcs12Fixture& f : fixtures) {
        // Files under standard protection hold the same keys as the GOST ones; the reader's
        // tests cover their envelopes.
        if (f.expect == "mac" || f.name.rfind("std-", 0) == 0) continue;
        for (const bool exchange : {false, true}) {
            if (exchange != (n % 2 == 1) && f.name.rfind("gost", 0) != 0) continue;
            const std::string p12 = passwords[n % 3], kv = passwords[(n + 1) % 3];
            const std::string purpose = exchange ? "-ex" : "-sg";
            ++n;
            SCOPED_TRACE(f.name + " " + purpose + " p12 '" + p12 + "' kv '" + kv + "'");
            TempDir dir;
            fs::create_directories(dir / "r1");
            fs::create_directories(dir / "r2");
            fs::create_directories(dir / "out");
            ASSERT_EQ(Keymend({"-p12tokv", "-rdrfolder", dir / "r1", "-contname", "ключ " + f.name,
                               purpose, "-infile", f.path, "-passp12", f.password, "-passkv", kv})
                          .exitCode,
                      0);
            const std::string first = OnlyEntry(dir / "r1");
            const RunResult run = Keymend({"-kvtop12", "-contfolder", first, "-passkv", kv,
                                           "-passp12", p12, "-outdir", dir / "out"});
            ASSERT_EQ(run.out, "Successfully finished.\n");
            const std::string name = exchange ? "exchange.pfx" : "signature.pfx";
            EXPECT_EQ(Entries(dir / "out"), std::vector<std::string>{name});
            const std::string file = dir / ("out/" + name);
            struct stat st {};
            EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);

            ASSERT_EQ(Keymend({"-p12tokv", "-rdrfolder", dir / "r2", "-contname", "again", purpose,
                               "-infile", file, "-passp12", p12, "-passkv", kv})
                          .exitCode,
                      0);
            EXPECT_EQ(PublicOfContainer(OnlyEntry(dir / "r2"), kv), PublicFile(f.publicKey));
            // The PKCS#8 key is the same for both purposes: OpenSSL reads one of them, and its
            // own reading of the file it wrote is the reference.
            if (!openssl || (exchange && f.name.rfind("gost", 0) == 0)) continue;
            const OpenSslView exported = OpenSslReads(file, p12, true);
            EXPECT_NE(exported.key.find("Private key:"), std::string::npos) << "OpenSSL refused";
            EXPECT_EQ(exported.key, OpenSslReads(f.path, f.password, false).key);
            const std::vector<Bytes> listed = OpenSslCertificates(f);
            EXPECT_EQ(exported.certificate,
                      f.certificate == 0 ? "" : ToHex(listed.at(f.certificate - 1u)));
        }
    }
}

// A container under another GOST 28147-89 parameter set than its provider's default: the keys
// are encrypted under it again and the header records it.
void Reprotect(const std::string& folder, const char16_t* password, const char* paramSet) {
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
    ASSERT_NE(image, nullptr);
    const uint32_t type = ProviderTypeOfOid(image->header.firstKey.algorithm);
    ASSERT_TRUE(image->header.firstKey.encryptionParamSet.Set(paramSet));
    for (auto [keys, masks] :
         {std::pair{&image->primary, &image->masks}, std::pair{&image->primary2, &image->masks2}}) {
        ASSERT_TRUE(keys->firstKey.Assign(keys->firstKeyDecrypted));
        ASSERT_TRUE(EncryptCopyFields(*masks, password, type, paramSet, keys->firstKey));
        ASSERT_TRUE(SetMaskCheck(*masks, paramSet));
    }
    ASSERT_TRUE(SetPasswordCheck(image->header, password, type, paramSet));
    const std::string name(image->name.data(), image->name.data() + image->name.size());
    ASSERT_TRUE(WriteFolder(*image, folder.c_str(), name.c_str(), WriteMode::kRewrite, false));
}

// Element `path` (child indices) of a parsed DER tree.
const Der& At(const Der& root, std::initializer_list<size_t> path) {
    const Der* node = &root;
    for (size_t i : path) node = &node->kids.at(i);
    return *node;
}

const Bytes k2048 = {0x08, 0x00};  // the INTEGER content of 2,048

// The PBES2 AlgorithmIdentifier as written: PBKDF2 over HMAC GOST R 34.11-2012-512 with a
// 16-octet salt and 2,048 iterations, GOST 28147-89 with an 8-octet IV and `paramSet`.
void ExpectPbes2(const Der& algorithm, const std::string& paramSet,
                 std::set<std::string>& salts) {
    EXPECT_EQ(algorithm[0].Encode(), Der::Oid("1.2.840.113549.1.5.13").Encode());
    const Der& kdf = algorithm.kids.at(1)[0];
    EXPECT_EQ(kdf.kids.at(0).Encode(), Der::Oid("1.2.840.113549.1.5.12").Encode());
    const Der& params = kdf.kids.at(1);
    ASSERT_EQ(params.kids.size(), 3u);
    EXPECT_EQ(params.kids[0].content.size(), 16u);
    EXPECT_TRUE(salts.insert(ToHex(params.kids[0].content)).second) << "a salt used twice";
    EXPECT_EQ(params.kids[1].content, k2048);
    EXPECT_EQ(params.kids[2].Encode(),
              Der::Cons(0x30, {Der::Oid("1.2.643.7.1.1.4.2"), Der::Prim(0x05, {})}).Encode());
    const Der& scheme = algorithm.kids.at(1).kids.at(1);
    EXPECT_EQ(scheme.kids.at(0).Encode(), Der::Oid("1.2.643.2.2.21").Encode());
    EXPECT_EQ(scheme.kids.at(1).kids.at(0).content.size(), 8u);
    EXPECT_TRUE(salts.insert(ToHex(scheme.kids.at(1).kids.at(0).content)).second)
        << "an IV used twice";
    EXPECT_EQ(scheme.kids.at(1).kids.at(1).Encode(), Der::Oid(paramSet).Encode());
}

// The file's envelope, bags and attributes element by element, and its key as keymend reads it
// back: for each provider type and purpose, with and without certificate, under the default and
// under another parameter set. No salt or IV is ever used twice.
TEST(KeyExport, WritesTheGostProfileExactly) {
    struct Case {
        std::string curve;
        uint32_t type;
        bool exchange;
        const char* paramSet;  // null: the provider's default
        bool certificate;
    };
    const Case cases[] = {
        {"1.2.643.2.2.35.1", 75, false, nullptr, false},
        {"1.2.643.2.2.36.0", 75, true, "1.2.643.2.2.31.3", false},
        {"1.2.643.7.1.2.1.1.1", 80, false, "1.2.643.2.2.31.4", false},
        {"1.2.643.2.2.35.3", 80, true, nullptr, false},
        {"1.2.643.7.1.2.1.2.2", 81, true, nullptr, false},
        {"1.2.643.7.1.2.1.2.3", 81, false, "1.2.643.2.2.31.2", false},
        {"hardening", 75, false, nullptr, true},
    };
    std::set<std::string> salts;  // hex: GCC 12 -O3 warns falsely on sets of byte vectors
    for (const Case& c : cases) {
        SCOPED_TRACE(c.curve + (c.exchange ? " exchange" : " signature"));
        TempDir dir;
        fs::create_directories(dir / "r");
        TestKey key;
        std::string folder;
        if (c.certificate) {
            folder = MakeFixtureContainer(dir / "r", "kv", false);
            key = {"1.2.643.2.2.35.1", {}, SignKey().publicKey};
        } else {
            key = Key(c.curve);
            folder = MakeContainer(
                dir / "r", "имя", key,
                c.exchange ? ExchangeAlgorithm(c.type) : SignatureAlgorithm(c.type), u"kv");
        }
        ASSERT_FALSE(folder.empty());
        if (c.paramSet != nullptr) {
            ASSERT_NO_FATAL_FAILURE(Reprotect(folder, u"kv", c.paramSet));
        }
        const std::string paramSet = c.paramSet ? c.paramSet : DefaultParamSet(c.type);
        const std::string name = c.exchange ? "exchange.pfx" : "signature.pfx";
        const std::string file = dir / ("out/" + name);
        fs::create_directories(dir / "out");
        ASSERT_EQ(Keymend({"-kvtop12", "-contfolder", folder, "-passkv", "kv", "-passp12", "p",
                           "-outdir", dir / "out"})
                      .out,
                  "Successfully finished.\n");
        const Der pfx = Der::Parse(ReadFileBytes(file));
        ASSERT_EQ(pfx.kids.size(), 3u);
        EXPECT_EQ(pfx[0].content, Bytes{3});
        const Der safes = Der::Parse(At(pfx, {1, 1, 0}).content);
        ASSERT_EQ(safes.kids.size(), c.certificate ? 2u : 1u);
        if (c.certificate) {
            EXPECT_EQ(safes[0][0].Encode(), Der::Oid("1.2.840.113549.1.7.6").Encode());
            const Der& info = At(safes, {0, 1, 0, 1});
            EXPECT_EQ(At(safes, {0, 1, 0, 0}).content, Bytes{0});
            EXPECT_EQ(info[2].id, 0x80);
            ExpectPbes2(info.kids.at(1), paramSet, salts);
        }
        const Der& keyInfo = safes.kids.back();
        EXPECT_EQ(keyInfo.kids.at(0).Encode(), Der::Oid("1.2.840.113549.1.7.1").Encode());
        const Der bag = Der::Parse(At(keyInfo, {1, 0}).content)[0];
        EXPECT_EQ(bag[0].Encode(), Der::Oid("1.2.840.113549.1.12.10.1.2").Encode());
        ExpectPbes2(At(bag, {1, 0, 0}), paramSet, salts);
        // friendlyName (the container's name, BMPString) and localKeyId, in DER order.
        const Der& attributes = bag.kids.at(2);
        ASSERT_EQ(attributes.kids.size(), 2u);
        const Bytes bmp = c.certificate
                              ? Bytes{0, 'f', 0, 'i', 0, 'x', 0, 't', 0, 'u', 0, 'r', 0, 'e'}
                              : Bytes{0x04, 0x38, 0x04, 0x3C, 0x04, 0x4F};
        EXPECT_EQ(attributes.Encode(),
                  Der::Cons(0x31, {Der::Cons(0x30, {Der::Oid("1.2.840.113549.1.9.20"),
                                                    Der::Cons(0x31, {Der::Prim(0x1E, bmp)})}),
                                   attributes[1]})
                      .Encode());
        EXPECT_EQ(attributes.kids[1][0].Encode(), Der::Oid("1.2.840.113549.1.9.21").Encode());
        const Der& mac = pfx.kids.at(2);
        EXPECT_EQ(At(mac, {0, 0}).Encode(),
                  Der::Cons(0x30, {Der::Oid("1.2.643.7.1.1.2.3"), Der::Prim(0x05, {})}).Encode());
        EXPECT_EQ(At(mac, {0, 1}).content.size(), 64u);
        EXPECT_EQ(mac[1].content.size(), 16u);
        EXPECT_EQ(mac[2].content, k2048);

        CapturedKey read;
        read.publicKey = key.publicKey;
        Bytes certificate;
        ASSERT_TRUE(ReadBack(file, "p", read, certificate));
        EXPECT_EQ(read.algorithm, SignatureAlgorithm(c.type));
        EXPECT_EQ(read.digest, ImpliedDigestParamSet(c.type));
        if (!c.certificate) {
            EXPECT_EQ(read.curve, key.curve);
            EXPECT_EQ(read.privateKey, Tlv(0x04, key.d));  // in clear, little-endian
        }
        EXPECT_EQ(certificate.empty(), !c.certificate);
        // localKeyId: SHA-1 of the certificate, or of the public key without one.
        const Bytes& idSource = c.certificate ? certificate : key.publicKey;
        Bytes sha1(20);
        ASSERT_TRUE(ShaHash(ShaAlgorithm::kSha1, idSource.data(), idSource.size(), sha1.data()));
        EXPECT_EQ(attributes[1][1][0].content, sha1);
        // OpenSSL reads the key under every parameter set, key meshing included.
        if (!c.certificate && OpenSslGostAvailable()) {
            std::string hex = ToHex(Bytes(key.d.rbegin(), key.d.rend()));
            hex.erase(0, hex.find_first_not_of('0'));
            for (char& ch : hex) ch = static_cast<char>(std::toupper(ch));
            EXPECT_NE(OpenSslReads(file, "p", false).key.find("Private key: " + hex + "\n"),
                      std::string::npos);
        }
    }
}

// Every refusal prints its message, naming what it names, and leaves the container and the
// output folder as they were.
TEST(KeyExport, RefusalsLeaveNothingBehind) {
    TempDir dir;
    const std::string one = MakeFixtureContainer(dir / "one", "kv", false);
    const std::string two = MakeFixtureContainer(dir / "two", "kv", true);
    ASSERT_FALSE(one.empty() || two.empty());
    const std::string out = dir / "out", file = dir / "file";
    fs::create_directories(out);
    ASSERT_TRUE(WriteFileBytes(file, {1}));
    struct Case {
        std::string what, folder;
        std::vector<std::string> args;
        std::string prepare;  // "repair": repaired first with these flags; "damage:" DamageFolder
        int message;
        std::string parameter;
    };
    const std::string exists = out + "/exchange.pfx";
    const Case cases[] = {
        {"wrong password", one, {"-passkv", "other"}, "", kMsgContainerOpenFailed, ""},
        {"header garbled", one, {}, "damage:header.key@41^5A", kMsgExportHeaderDamaged, ""},
        {"header missing", one, {}, "damage:header.key", kMsgExportHeaderDamaged, ""},
        {"repaired, not exportable", two, {}, "repair:", kMsgSignatureKeyNotExportable, ""},
        {"repaired, signature exportable",
         two,
         {},
         "repair:-exportablesg",
         kMsgExchangeKeyNotExportable,
         ""},
        {"an output exists", two, {}, "exists", kMsgExportFileExists, exists},
        {"output folder is a file", one, {"-outdir", file}, "", kMsgExportFolderUnwritable, file},
        {"output folder absent",
         one,
         {"-outdir", out + "/none"},
         "",
         kMsgExportFolderUnwritable,
         out + "/none"},
        {"certificate of another key",
         one,
         {"-certsg", ExchangeKey().certificate},
         "",
         kMsgExportCertificateMismatch,
         ExchangeKey().certificate},
        {"certificate for no key",
         one,
         {"-certex", ExchangeKey().certificate},
         "",
         kMsgExportCertificateMismatch,
         ExchangeKey().certificate},
        {"certificate unreadable",
         one,
         {"-certsg", file},
         "",
         kMsgExportCertificateUnreadable,
         file},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const FolderSnapshot container = Snapshot(c.folder);
        if (c.prepare.starts_with("damage:")) DamageFolder(c.folder, c.prepare.substr(7));
        if (c.prepare.starts_with("repair:")) {
            std::vector<std::string> args = RepairArgs(c.folder, "kv");
            if (c.prepare.size() > 7) args.push_back(c.prepare.substr(7));
            ASSERT_EQ(Keymend(args).exitCode, 0);
        }
        if (c.prepare == "exists") {
            ASSERT_TRUE(WriteFileBytes(exists, {7}));
        }
        const FolderSnapshot before = Snapshot(c.folder);
        const FolderSnapshot outBefore = Snapshot(out);
        std::vector<std::string> args = {"-kvtop12", "-contfolder", c.folder, "-passkv", "kv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(args.begin(), args.end(), "-outdir") == args.end()) {
            args.insert(args.end(), {"-outdir", out});
        }
        const RunResult run = Keymend(args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, Refusal(c.message, c.parameter));
        EXPECT_EQ(Snapshot(out), outBefore) << "the output folder changed";
        EXPECT_EQ(Entries(out).size(), outBefore.size()) << "a temporary was left";
        EXPECT_EQ(Snapshot(c.folder), before) << "the container changed";
        Restore(c.folder, container);
        Restore(out, {});
    }
    // With both keys allowed the repaired container exports.
    std::vector<std::string> repair = RepairArgs(two, "kv");
    repair.insert(repair.end(), {"-exportablesg", "-exportableex"});
    ASSERT_EQ(Keymend(repair).exitCode, 0);
    ASSERT_EQ(Keymend({"-kvtop12", "-contfolder", two, "-passkv", "kv", "-outdir", out}).out,
              "Successfully finished.\n");
    EXPECT_EQ(Entries(out), (std::vector<std::string>{"exchange.pfx", "signature.pfx"}));
}

// Two signature keys give signature.pfx and signature-2.pfx, each with its own key. Then each
// file operation failing once and the random source failing: the failure is reported and the
// output folder holds nothing, or both files are there.
TEST(KeyExport, FaultsLeaveNothingBehind) {
    TempDir dir;
    fs::create_directories(dir / "r");
    const TestKey& first = Key("1.2.643.7.1.2.1.2.1", 0);
    const TestKey& second = Key("1.2.643.7.1.2.1.2.1", 1);
    const std::string two = MakeContainer(dir / "r", "two", first, SignatureAlgorithm(81), u"");
    ASSERT_TRUE(AddSecondKey(two, second, SignatureAlgorithm(81), u""));
    const std::string out = dir / "out";
    fs::create_directories(out);
    const std::vector<std::string> args = {"-kvtop12", "-contfolder", two, "-outdir", out};
    const std::vector<std::string> both = {"signature-2.pfx", "signature.pfx"};
    ResetFileOpCounts();
    ASSERT_TRUE(RunCommandInProcess(args).ok);
    ASSERT_EQ(Entries(out), both);
    for (const auto& [file, key] : {std::pair{both[1], &first}, std::pair{both[0], &second}}) {
        CapturedKey read;
        Bytes certificate;
        ASSERT_TRUE(ReadBack(out + "/" + file, "", read, certificate)) << file;
        EXPECT_EQ(read.privateKey, Tlv(0x04, key->d)) << file;
    }
    std::vector<std::pair<std::string, std::function<void()>>> faults;
    for (const FileOp op : {FileOp::kWrite, FileOp::kFlush, FileOp::kReplace, FileOp::kSync}) {
        const uint32_t count = FileOpCount(op);
        EXPECT_GT(count, 0u);
        for (uint32_t n = 1; n <= count; ++n) {
            faults.push_back({"file operation " + std::to_string(static_cast<int>(op)) + " #" +
                                  std::to_string(n),
                              [op, n] { SetFileFaultForTesting(op, n); }});
        }
    }
    static uint32_t calls, failAt;
    for (uint32_t n = 1; n <= 12; ++n) {
        faults.push_back({"random fails from use " + std::to_string(n), [n] {
                              calls = 0;
                              failAt = n;
                              SetRandomSourceForTesting([](uint8_t* buffer, size_t size) {
                                  std::fill(buffer, buffer + size, 0x5A);
                                  return ++calls < failAt;
                              });
                          }});
    }
    const FolderSnapshot container = Snapshot(two);
    int failures = 0;
    for (const auto& [what, setup] : faults) {
        SCOPED_TRACE(what);
        Restore(out, {});
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            FileSystemInit();
            setup();
            const CommandRun r = RunCommandInProcess(args);
            _exit(r.ok ? 0 : r.messageId > 0 && r.messageId < 200 ? r.messageId : 200);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        const int code = WEXITSTATUS(status);
        EXPECT_TRUE(code == 0 || code == kMsgExportFolderUnwritable || code == kMsgExportFailed)
            << code;
        EXPECT_EQ(Entries(out), code == 0 ? both : std::vector<std::string>{});
        EXPECT_EQ(Snapshot(two), container);
        failures += code != 0;
        EXPECT_TRUE(code != 0 || what.starts_with("random")) << "a fault went unreported";
    }
    EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace keymend::test

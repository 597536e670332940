// The container store: folders (paths, names, modes, interrupted writes) and the password
// protection (algorithm table, password key, integrity values).
#include "container/container.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <sys/stat.h>

#include <filesystem>

#include "container/container_builder.h"
#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCurve = "1.2.643.2.2.35.1";
constexpr const char* kSet = "1.2.643.7.1.2.5.1.1";

std::string Make(const std::string& reader, const std::string& name,
                 const char16_t* password = u"") {
    return MakeContainer(reader, name, Key(kCurve), SignatureAlgorithm(80), password);
}

// A folder under `base` whose path is exactly `length` bytes long (created).
std::string FolderOfLength(const std::string& base, size_t length) {
    const size_t rest = length - base.size() - 2;
    const std::string path =
        base + "/" + std::string(rest / 2, 'd') + "/" + std::string(rest - rest / 2, 'e');
    fs::create_directories(path);
    return path;
}

// A container folder path may be 242 bytes ("<reader>/abc.000"), not 243; a reader folder for
// a new container at most 250 (which leaves no room for the container). Nothing is created on
// refusal, and a container copied one byte too far away cannot be opened or rewritten.
TEST(ContainerFolder, PathLimits) {
    TempDir dir;
    std::string folder;
    for (size_t length : {242u, 243u, 258u, 259u}) {
        const std::string reader = FolderOfLength(dir / std::to_string(length), length - 8);
        const std::string made = Make(reader, "abc");
        EXPECT_EQ(made.size(), length == 242 ? 242u : 0u) << length;
        EXPECT_EQ(Entries(reader).size(), length == 242 ? 1u : 0u) << length;
        if (length == 242) folder = made;
    }
    const std::string far = FolderOfLength(dir / "far", 243);
    Restore(far, Snapshot(folder));
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), u"");
    ASSERT_TRUE(image);
    EXPECT_FALSE(OpenContainerStrict(far.c_str(), u""));
    EXPECT_FALSE(OpenContainerTolerant(far.c_str(), u"", kSet, 80, true));
    EXPECT_TRUE(WriteFolder(*image, folder.c_str(), "abc", kWriteRewrite, false));
    EXPECT_FALSE(WriteFolder(*image, far.c_str(), "abc", kWriteRewrite, false));
}

// The folder is named from at most 8 bytes of the name, never splitting a character nor holding
// a separator (numbering and name.key: ImportCommand, ForeignContainer). With .000 to .999 all
// taken (by files here: any existing name is taken), without a reader folder, or after a failed
// write or flush, nothing is left.
TEST(ContainerFolder, NewFolders) {
    TempDir dir;
    EXPECT_EQ(Make(dir.path() + "//", "MyContainerName"), dir / "MyContai.000");
    EXPECT_TRUE(Make(dir.path(), "ab/../x").empty());
    EXPECT_EQ(Make(dir.path(), "abcdefgh/tail"), dir / "abcdefgh.000");
    EXPECT_EQ(Make(dir.path(), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"),
              dir / "\xE6\x97\xA5\xE6\x9C\xAC.000");
    EXPECT_EQ(Make(dir.path(), "\xD0\x94\xD0\xBE\xD0\xB1\xD1\x80\xD1\x8B\xD0\xB9"),
              dir / "\xD0\x94\xD0\xBE\xD0\xB1\xD1\x80.000");
    TempDir full;
    for (int n = 0; n <= 999; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "full.%03d", n);
        ASSERT_TRUE(WriteFileBytes(full / name, {}));
    }
    EXPECT_TRUE(Make(full.path(), "full").empty());
    EXPECT_EQ(Entries(full.path()).size(), 1000u);
    for (const auto& entry : fs::directory_iterator(full.path())) {
        EXPECT_TRUE(entry.is_regular_file() && entry.file_size() == 0) << entry.path();
    }
    EXPECT_TRUE(Make(dir / "missing", "x").empty());
    EXPECT_FALSE(fs::exists(dir / "missing"));
    TempDir faulty;
    for (FileOp kind : {FileOp::kWrite, FileOp::kFlush}) {
        for (uint32_t n = 1; n <= 6; ++n) {
            SetFileFaultForTesting(kind, n);
            const std::string folder = Make(faulty.path(), "new");
            SetFileFaultForTesting(kind, 0);
            EXPECT_TRUE(folder.empty()) << n;
            EXPECT_TRUE(Entries(faulty.path()).empty()) << n;
        }
    }
    EXPECT_EQ(Make(faulty.path(), "new"), faulty / "new.000");
}

TEST(ContainerFolder, KeyFilesArePrivateWhateverTheUmask) {
    auto mode = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 0777;
    };
    for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0777}}) {
        TempDir dir;
        const mode_t old = ::umask(mask);
        const std::string folder = Make(dir.path(), "modes");
        const bool added = AddSecondKey(folder, Key(kCurve, 1), ExchangeAlgorithm(80), u"");
        ::umask(old);
        ASSERT_TRUE(added) << mask;
        EXPECT_EQ(mode(folder), 0700u) << mask;
        EXPECT_EQ(Entries(folder).size(), 6u);
        for (const std::string& name : Entries(folder)) {
            EXPECT_EQ(mode(folder + "/" + name), 0600u) << name << " umask " << mask;
        }
    }
}

// Breaks the n-th write, flush or replacement of a rewrite of `folder` into `image`, for every
// n: the write fails and leaves no temporary file; before the first replacement the files are
// untouched; after it, the first key (and the second once replaced) is still recoverable.
void RunFaultSweep(const std::string& folder, ContainerImage& image, const TestKey* second,
                   std::initializer_list<FileOp> kinds) {
    const auto original = Snapshot(folder);
    const auto entries = Entries(folder);
    auto expectKeys = [&](bool withSecond, const std::string& context) {
        Bytes pub1, pub2;
        ASSERT_TRUE(RecoverPublicKeys(folder, u"", pub1, pub2)) << context;
        EXPECT_EQ(pub1, Key(kCurve).publicKey) << context;
        EXPECT_TRUE(!withSecond || pub2 == second->publicKey) << context;
    };
    for (FileOp kind : kinds) {
        for (uint32_t n = 1; n <= 6; ++n) {
            const std::string context =
                "kind " + std::to_string(static_cast<int>(kind)) + " n " + std::to_string(n);
            Restore(folder, original);
            SetFileFaultForTesting(kind, n);
            EXPECT_FALSE(WriteFolder(image, folder.c_str(), "faulty", kWriteRewrite, false))
                << context;
            const uint32_t replaced = FileOpCount(FileOp::kReplace) - (kind == FileOp::kReplace);
            SetFileFaultForTesting(kind, 0);
            EXPECT_EQ(Entries(folder), entries) << context << ": temporary file left";
            if (replaced == 0) {
                EXPECT_EQ(Snapshot(folder), original) << context;
                EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u"")) << context;
            }
            expectKeys(replaced != 0 && second != nullptr, context);
        }
    }
    Restore(folder, original);
    EXPECT_TRUE(WriteFolder(image, folder.c_str(), "faulty", kWriteRewrite, false));
    expectKeys(second != nullptr, "complete");
}

TEST(ContainerFolder, FailedRewriteKeepsTheKeys) {
    TempDir dir;
    // Adding a key: the new image rewrites the key files with two keys.
    const std::string folder = Make(dir.path(), "fault");
    ContainerImagePtr added = OpenContainerStrict(folder.c_str(), u"");
    ASSERT_TRUE(added);
    ASSERT_TRUE(PlaceSecondKey(*added, Key(kCurve, 1), ExchangeAlgorithm(80)));
    ASSERT_TRUE(ProtectSecondKey(*added, u""));
    RunFaultSweep(folder, *added, &Key(kCurve, 1),
                  {FileOp::kWrite, FileOp::kFlush, FileOp::kReplace});
    // A rewrite with fresh masks and salts (as a repair does): the pairs must change together.
    // Writes and flushes fail before any replacement exactly as above.
    ContainerImagePtr remasked = OpenContainerStrict(Make(dir.path(), "fresh").c_str(), u"");
    ASSERT_TRUE(remasked);
    RunFaultSweep(Make(dir.path(), "fault2"), *remasked, nullptr, {FileOp::kReplace});
}

TEST(ContainerProtection, KeyAlgorithmTable) {
    for (const VectorRecord& r : LoadVectors(
             "container/algorithms.vec",
             {"Oid", "ProviderType", "Agreement", "Signature", "Exchange", "Set", "Result"})) {
        const uint32_t type = static_cast<uint32_t>(std::stoul(r.Get("ProviderType")));
        if (r.section == "ParamSet") {
            OidText set;
            ASSERT_TRUE(set.Set(r.Get("Set").c_str()));
            const char* result = ContainerParamSet(set, type);
            EXPECT_EQ(result != nullptr ? result : "-", r.Get("Result")) << r.Get("Set");
            continue;
        }
        const char* oid = r.Get("Oid").c_str();
        SCOPED_TRACE(oid);
        EXPECT_EQ(ProviderTypeOfOid(oid), type);
        EXPECT_EQ(IsKeyAgreementOid(oid), r.Get("Agreement") == "yes");
        EXPECT_EQ(CanonicalAlgorithmOid(oid) != nullptr, type != 0);
        for (uint32_t keySpec : {1u, 2u}) {
            OidText out;
            const bool ok = AlgorithmOidForKeyUse(oid, keySpec, out);
            EXPECT_EQ(ok ? out.c_str() : "-", r.Get(keySpec == 2 ? "Signature" : "Exchange"));
        }
    }
}

// The password key rebuilt on OpenSSL's GOST hashes (the GOST provider), as an independent check
// of the hash selection, block sizes and concatenation layout.
Bytes OpenSslDerive(uint32_t type, const std::u16string& password, const Bytes& salt) {
    EVP_MD* md = EVP_MD_fetch(nullptr, type == 75 ? "md_gost94" : "md_gost12_256", nullptr);
    if (md == nullptr) return {};
    const size_t b = type == 75 ? 32 : 64;
    auto h = [md](const Bytes& in) {
        Bytes out(32);
        unsigned int n = 0;
        EVP_Digest(in.data(), in.size(), out.data(), &n, md, nullptr);
        return out;
    };
    auto xored = [](const Bytes& x, uint8_t v, size_t n) {
        Bytes out(x.begin(), x.begin() + static_cast<long>(n));
        for (uint8_t& c : out) c ^= v;
        return out;
    };
    Bytes p;
    for (char16_t u : password) p.insert(p.end(), {uint8_t(u & 0xFF), uint8_t(u >> 8), 0, 0});
    const Bytes m = h(Cat({salt, p}));
    const std::string fixed = "KLOPRT415.902371568.ZXMWQBNVA.TU";
    Bytes k(fixed.begin(), fixed.end());
    k.resize(b, 0);
    for (int i = 0, n = password.empty() ? 2 : 2000; i < n; ++i) {
        k = h(Cat({xored(k, 0x36, b), m, xored(k, 0x5C, b), m}));
        k.resize(b, 0);
    }
    const Bytes result = h(h(Cat({xored(k, 0x36, 32), salt, xored(k, 0x5C, 32), p})));
    EVP_MD_free(md);
    return result;
}

TEST(ContainerProtection, PasswordKeyMatchesOpenSslHashes) {
    const Bytes salt = FromHex("a1a2a3a4a5a6a7a8a9aaabac");
    uint8_t key[32];
    EXPECT_FALSE(DerivePasswordKey(key, u"password", salt.data(), salt.size(), 0));
    if (OSSL_PROVIDER_try_load(nullptr, "gostprov", 1) == nullptr) GTEST_SKIP();
    // Provider types with a Cyrillic, an empty and an ASCII password; the last one with an
    // 11-byte salt.
    const std::u16string passwords[] = {u"\u043a\u043b\u044e\u0447 1", u"", u"pass"};
    for (uint32_t type : {75u, 80u, 81u}) {
        for (const std::u16string& password : passwords) {
            const size_t saltLength = password == u"pass" && type == 81 ? 11 : 12;
            const Bytes s(salt.begin(), salt.begin() + static_cast<long>(saltLength));
            ASSERT_TRUE(DerivePasswordKey(key, password.c_str(), s.data(), s.size(), type));
            EXPECT_EQ(ToHex(key, 32), ToHex(OpenSslDerive(type, password, s)))
                << type << " " << password.size();
        }
    }
}

// Rewrites header.key after `change`, with a valid MAC.
void EditHeader(const std::string& folder, void (*change)(HeaderRecord&)) {
    ContainerImagePtr image = CreateContainerImage();
    ASSERT_TRUE(ReadWholeFile(folder + "/header.key", ContainerFile::kHeader, *image));
    change(image->header);
    SecureBlob out;
    ASSERT_TRUE(EncodeHeaderFile(image->header, false, out));
    ASSERT_TRUE(WriteFileBytes(folder + "/header.key", BlobBytes(out)));
}

// Each integrity value is checked by the strict open; the tolerant open still recovers the key
// from each copy that the damage leaves usable (bit 0: the first copy, bit 1: the second).
TEST(ContainerProtection, EachIntegrityValueIsChecked) {
    using F = const std::string&;
    const struct {
        const char* what;
        int usable;
        void (*damage)(F);
    } cases[] = {
        {"masks.key", 2, [](F f) { FlipByteFromEnd(f + "/masks.key", 1); }},
        {"masks2.key", 1, [](F f) { FlipByteFromEnd(f + "/masks2.key", 1); }},
        {"header MAC", 3, [](F f) { FlipByteFromEnd(f + "/header.key", 1); }},
        {"password check", 3,
         [](F f) { EditHeader(f, [](HeaderRecord& h) { h.passwordCheck[0] ^= 1; }); }},
        {"public-key check", 3,
         [](F f) { EditHeader(f, [](HeaderRecord& h) { h.firstKey.publicKeyCheck[7] ^= 1; }); }},
        {"primary.key", 2, [](F f) { FlipByteFromEnd(f + "/primary.key", 1); }},
        {"primary2.key", 1, [](F f) { FlipByteFromEnd(f + "/primary2.key", 1); }},
        {"no name.key", 3, [](F f) { fs::remove(f + "/name.key"); }},
    };
    TempDir dir;
    const std::string folder = Make(dir.path(), "neg", u"pw");
    const auto original = Snapshot(folder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Restore(folder, original);
        c.damage(folder);
        EXPECT_FALSE(OpenContainerStrict(folder.c_str(), u"pw"));
        ContainerImagePtr image = OpenContainerTolerant(folder.c_str(), u"pw", kSet, 0, true);
        ASSERT_TRUE(image);
        const Bytes& expected = Key(kCurve).publicKey;
        EXPECT_EQ(PublicOf(image->primary.firstKeyDecrypted, image->masks.mask, kCurve) == expected,
                  (c.usable & 1) != 0);
        EXPECT_EQ(
            PublicOf(image->primary2.firstKeyDecrypted, image->masks2.mask, kCurve) == expected,
            (c.usable & 2) != 0);
    }
    Restore(folder, original);
    EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u"pw"));
}

}  // namespace
}  // namespace keymend::test

#include "container/container.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "commands/public_export.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "platform/files.h"

namespace keymend {
namespace {

using namespace keymend::test;
namespace fs = std::filesystem;

constexpr const char* kCurve = "1.2.643.2.2.35.1";

// A folder under `base` whose path is exactly `length` bytes long (created).
std::string FolderOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (path.size() < length) {
        size_t chunk = std::min<size_t>(length - path.size() - 1, 200);
        if (length - path.size() - 1 - chunk == 1) --chunk;  // never leave room for "/" alone
        path += "/" + std::string(chunk, 'd');
    }
    EXPECT_EQ(path.size(), length);
    fs::create_directories(path);
    return path;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old_); }

  private:
    mode_t old_;
};

TEST(ContainerFolder, PathLimits) {
    TempDir dir;
    const TestKey& key = Key(kCurve);
    // New folder path of 242 bytes ("<reader>/abc.000") is accepted, 243 is not.
    for (size_t length : {242u, 243u}) {
        const std::string reader =
            FolderOfLength(dir.path() + "/r" + std::to_string(length), length - 8);
        const std::string folder = MakeContainer(reader, "abc", key, SignatureAlgorithm(80), u"");
        EXPECT_EQ(folder.empty(), length == 243) << length;
        EXPECT_EQ(FolderEntries(reader).size(), length == 242 ? 1u : 0u);
        if (length == 242) {
            EXPECT_EQ(folder.size(), 242u);
            EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u""));
            // The same container one byte further away cannot be opened or rewritten.
            const std::string far = FolderOfLength(dir.path() + "/far", 243);
            RestoreFiles(far, SnapshotFiles(folder));
            EXPECT_FALSE(OpenContainerStrict(far.c_str(), u""));
            EXPECT_FALSE(OpenContainerTolerant(far.c_str(), u"", "1.2.643.7.1.2.5.1.1", 80, true));
            ContainerImagePtr image = OpenContainerStrict(folder.c_str(), u"");
            ASSERT_TRUE(image);
            EXPECT_TRUE(WriteFolder(*image, folder.c_str(), "abc", kWriteRewrite, false));
            EXPECT_FALSE(WriteFolder(*image, far.c_str(), "abc", kWriteRewrite, false));
        }
    }
    // Reader folders of 250 and 251 bytes: refused either way, nothing is created.
    for (size_t length : {250u, 251u}) {
        const std::string reader =
            FolderOfLength(dir.path() + "/s" + std::to_string(length), length);
        EXPECT_TRUE(MakeContainer(reader, "", key, SignatureAlgorithm(80), u"").empty());
        EXPECT_TRUE(FolderEntries(reader).empty());
    }
}

TEST(ContainerFolder, NumberingAndNames) {
    TempDir dir;
    const TestKey& key = Key(kCurve);
    const char* alg = SignatureAlgorithm(80);
    EXPECT_EQ(MakeContainer(dir.path(), "MyContainerName", key, alg, u""), dir / "MyContai.000");
    EXPECT_EQ(MakeContainer(dir.path() + "//", "MyContainerXYZ", key, alg, u""),
              dir / "MyContai.001");
    EXPECT_EQ(MakeContainer(dir.path(), "abc", key, alg, u""), dir / "abc.000");
    // name.key keeps the full name.
    ContainerImagePtr image = OpenContainerStrict((dir / "MyContai.001/").c_str(), u"");
    ASSERT_TRUE(image);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image->name.data()), image->name.size()),
              "MyContainerXYZ");

    // A separator inside the folder part is refused; past it, the name is kept whole.
    EXPECT_TRUE(MakeContainer(dir.path(), "ab/../x", key, alg, u"").empty());
    EXPECT_EQ(MakeContainer(dir.path(), "abcdefgh/tail", key, alg, u""), dir / "abcdefgh.000");

    // A multibyte character is never split: three 3-byte characters leave 6 bytes.
    std::string prefix;
    ASSERT_TRUE(FolderNamePrefix("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", prefix));
    EXPECT_EQ(prefix, "\xE6\x97\xA5\xE6\x9C\xAC");
    ASSERT_TRUE(FolderNamePrefix("\xD0\x94\xD0\xBE\xD0\xB1\xD1\x80\xD1\x8B\xD0\xB9", prefix));
    EXPECT_EQ(prefix.size(), 8u);

    // All of .000 to .999 taken (by files here: any existing name is taken, and files are
    // quick to clean up): the write fails and nothing is written.
    TempDir full;
    for (int n = 0; n <= 999; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "full.%03d", n);
        ASSERT_TRUE(WriteFileBytes(full / name, {}));
    }
    EXPECT_TRUE(MakeContainer(full.path(), "full", key, alg, u"").empty());
    EXPECT_EQ(FolderEntries(full.path()).size(), 1000u);
    for (const auto& entry : fs::directory_iterator(full.path())) {
        EXPECT_TRUE(entry.is_regular_file() && entry.file_size() == 0) << entry.path();
    }
    // A missing reader folder.
    EXPECT_TRUE(MakeContainer(dir / "missing", "x", key, alg, u"").empty());
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(ContainerFolder, KeyFilesArePrivateWhateverTheUmask) {
    const TestKey& key = Key(kCurve);
    for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0777}}) {
        TempDir dir;
        std::string folder;
        {
            UmaskGuard guard(mask);
            folder = MakeContainer(dir.path(), "modes", key, SignatureAlgorithm(80), u"");
            ASSERT_FALSE(folder.empty());
            ASSERT_TRUE(AddSecondKey(folder, Key(kCurve, 1), ExchangeAlgorithm(80), u""));
        }
        EXPECT_EQ(ModeOf(folder), 0700u) << mask;
        for (const std::string& name : FolderEntries(folder)) {
            EXPECT_EQ(ModeOf(folder + "/" + name), 0600u) << name << " umask " << mask;
        }
        EXPECT_EQ(FolderEntries(folder).size(), 6u);
    }
}

// Expected public keys after a rewrite of `folder`, whatever step it stopped at.
void ExpectKeysRecoverable(const std::string& folder, const TestKey& first, const TestKey* second,
                           const std::string& context) {
    SecureBlob pub1, pub2;
    ASSERT_TRUE(ExportPublicKeys(folder.c_str(), u"", "", "", 0, pub1, pub2)) << context;
    EXPECT_EQ(Bytes(pub1.data(), pub1.data() + pub1.size()), first.publicKey) << context;
    if (second != nullptr) {
        EXPECT_EQ(Bytes(pub2.data(), pub2.data() + pub2.size()), second->publicKey) << context;
    }
}

// Breaks the n-th write, flush or replacement of a rewrite, for every n.
void RunFaultSweep(const std::string& folder, ContainerImage& newImage, const TestKey& first,
                   const TestKey* second, std::initializer_list<FileOp> kinds) {
    const auto original = SnapshotFiles(folder);
    const auto entries = FolderEntries(folder);
    for (FileOp kind : kinds) {
        for (uint32_t n = 1; n <= 6; ++n) {
            const std::string context =
                "kind " + std::to_string(static_cast<int>(kind)) + " n " + std::to_string(n);
            RestoreFiles(folder, original);
            SetFileFaultForTesting(kind, n);
            EXPECT_FALSE(WriteFolder(newImage, folder.c_str(), "faulty", kWriteRewrite, false))
                << context;
            const uint32_t replaced = FileOpCount(FileOp::kReplace) - (kind == FileOp::kReplace);
            SetFileFaultForTesting(kind, 0);
            EXPECT_EQ(FolderEntries(folder), entries) << context << ": temporary file left";
            if (replaced == 0) {
                EXPECT_EQ(SnapshotFiles(folder), original) << context;
                EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u"")) << context;
            }
            ExpectKeysRecoverable(folder, first, replaced == 0 ? nullptr : second, context);
            const ContainerImagePtr tolerant =
                OpenContainerTolerant(folder.c_str(), u"", "1.2.643.7.1.2.5.1.1", 0, true);
            EXPECT_TRUE(tolerant) << context;
        }
    }
    RestoreFiles(folder, original);
    EXPECT_TRUE(WriteFolder(newImage, folder.c_str(), "faulty", kWriteRewrite, false));
    ExpectKeysRecoverable(folder, first, second, "complete");
}

TEST(ContainerFolder, FailedRewriteKeepsTheKeys) {
    TempDir dir;
    const TestKey& first = Key(kCurve);
    const TestKey& second = Key(kCurve, 1);
    const std::string folder =
        MakeContainer(dir.path(), "fault", first, SignatureAlgorithm(80), u"");
    ASSERT_FALSE(folder.empty());

    // Adding a key: the new image rewrites the key files with two keys.
    ContainerImagePtr added = OpenContainerStrict(folder.c_str(), u"");
    ASSERT_TRUE(added);
    ASSERT_TRUE(PlaceSecondKey(*added, second, ExchangeAlgorithm(80)));
    ASSERT_TRUE(ProtectSecondKey(*added, u""));
    RunFaultSweep(folder, *added, first, &second,
                  {FileOp::kWrite, FileOp::kFlush, FileOp::kReplace});

    // A rewrite with fresh masks and salts (as a repair does): the pairs change together.
    TempDir other;
    const std::string source =
        MakeContainer(other.path(), "fresh", first, SignatureAlgorithm(80), u"");
    ContainerImagePtr remasked = OpenContainerStrict(source.c_str(), u"");
    ASSERT_TRUE(remasked);
    const std::string target =
        MakeContainer(dir.path(), "fault2", first, SignatureAlgorithm(80), u"");
    // Writes and flushes fail before any replacement exactly as above; the replacements matter.
    RunFaultSweep(target, *remasked, first, nullptr, {FileOp::kReplace});
}

TEST(ContainerFolder, FailedNewContainerLeavesNothing) {
    TempDir dir;
    const TestKey& key = Key(kCurve);
    for (FileOp kind : {FileOp::kWrite, FileOp::kFlush}) {
        for (uint32_t n = 1; n <= 6; ++n) {
            SetFileFaultForTesting(kind, n);
            EXPECT_TRUE(MakeContainer(dir.path(), "new", key, SignatureAlgorithm(80), u"").empty())
                << n;
            SetFileFaultForTesting(kind, 0);
            EXPECT_TRUE(FolderEntries(dir.path()).empty()) << n;
        }
    }
    EXPECT_EQ(MakeContainer(dir.path(), "new", key, SignatureAlgorithm(80), u""), dir / "new.000");
}

}  // namespace
}  // namespace keymend

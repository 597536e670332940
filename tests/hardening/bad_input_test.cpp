// Bad input to the commands: refused with the command's message and nothing changed, or (a
// harmless change) the right keys. Sweeps run in-process so the sanitizers see every access.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "container/container.h"
#include "container/container_builder.h"
#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/mp.h"
#include "hardening/hardening_support.h"

namespace keymend::fuzz {
int DerFuzzOne(const uint8_t* data, size_t size);
int CommandLineFuzzOne(const uint8_t* data, size_t size);
int ContainerRecordsFuzzOne(const uint8_t* data, size_t size);
int ContainerFolderFuzzOne(const uint8_t* data, size_t size);
int Pkcs12FuzzOne(const uint8_t* data, size_t size);
int CertificateFileFuzzOne(const uint8_t* data, size_t size);
}  // namespace keymend::fuzz

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

constexpr int kMsgReadPkcs12 = 103;
constexpr int kMsgOpenContainer = 105;
constexpr int kMsgUnsupportedAlgorithm = 160;
constexpr int kMsgRepair = 111;
constexpr int kMsgPublicExport = 121;

size_t gReleased = 0;
size_t gNotWiped = 0;

// Zero, or (multi-precision buffers) uniformly their destroy pattern.
void CheckWiped(const uint8_t* data, size_t size) {
    ++gReleased;
    const uint8_t fill = size != 0 && data[0] == kGuardedDestroyFill ? kGuardedDestroyFill : 0;
    if (std::any_of(data, data + size, [fill](uint8_t b) { return b != fill; })) ++gNotWiped;
}

// Every secure buffer and the used scratch stack (at context release) is wiped on every path.
class BadInput : public testing::Test {
  protected:
    void SetUp() override {
        gReleased = gNotWiped = 0;
        SetReleaseObserverForTesting(CheckWiped);
    }
    void TearDown() override {
        CryptoContextRelease();
        const bool reinitialised = CryptoContextInit(1);
        SetReleaseObserverForTesting(nullptr);
        ASSERT_TRUE(reinitialised);
        EXPECT_GT(gReleased, 200u);
        EXPECT_EQ(gNotWiped, 0u) << "of " << gReleased << " released buffers";
    }
};

// Runs `check` on each of `files` cut to every `stride`-th length (and one byte short), and with
// every `positionStride`-th byte changed (a bit flipped; on every fourth also 00 and FF).
size_t Sweep(const std::string& folder, const std::vector<std::string>& files, size_t stride,
             size_t positionStride, const std::function<void(size_t n)>& check) {
    const FolderSnapshot pristine = Snapshot(folder);
    size_t tried = 0;
    const auto run = [&](const std::string& file, Bytes bytes, const std::string& what) {
        SCOPED_TRACE(file + ": " + what);
        FolderSnapshot damaged = pristine;
        damaged[file] = std::move(bytes);
        Restore(folder, damaged);
        check(tried++);
        return !testing::Test::HasFatalFailure();
    };
    for (const std::string& file : files) {
        const Bytes& original = pristine.at(file);
        for (size_t length = 0; length < original.size(); length += stride) {
            const Bytes cut(original.begin(), original.begin() + static_cast<long>(length));
            if (!run(file, cut, "cut to " + std::to_string(length))) return tried;
            if (length + stride >= original.size() && length + 1 != original.size()) {
                length = original.size() - 1 - stride;  // the prefix one byte short comes next
            }
        }
        for (size_t i = 0; i < original.size(); i += positionStride) {
            const uint8_t values[3] = {static_cast<uint8_t>(original[i] ^ (1u << (i % 8))), 0,
                                       0xFF};
            for (size_t v = 0; v < (i % 4 == 0 ? 3u : 1u); ++v) {
                if (values[v] == original[i]) continue;
                Bytes altered = original;
                altered[i] = values[v];
                const std::string what =
                    "byte " + std::to_string(i) + " = " + std::to_string(values[v]);
                if (!run(file, altered, what)) return tried;
            }
        }
    }
    Restore(folder, pristine);
    return tried;
}

void ExpectBinaryFailure(const std::vector<std::string>& args, int messageId) {
    const RunResult run = RunKeymend(args);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, FailureOutput(messageId));
}

const std::vector<std::string> kContainerFiles = {kNameFile,  kHeaderFile,   kPrimaryFile,
                                                  kMasksFile, kPrimary2File, kMasks2File};

// A repair flushes six files, so its sweep samples more thinly.
TEST_F(BadInput, DamagedFilesUnderImportAndRepair) {
    TempDir dir;
    const std::string input = dir / "input", reader = dir / "reader";
    ASSERT_TRUE(fs::create_directory(input) && fs::create_directory(reader));
    ASSERT_TRUE(WriteFileBytes(input + "/in.pfx", ReadFileBytes(SignKey().pfx)));
    const std::string one = MakeFixtureContainer(dir / "one", "", false);
    const std::string two = MakeFixtureContainer(dir / "two", "", true);
    ASSERT_FALSE(one.empty() || two.empty());
    const std::vector<std::string> import = {"-p12tokv",   "-sg",    "-infile",   input + "/in.pfx",
                                             "-passp12",   "secret", "-contname", "bad",
                                             "-rdrfolder", reader};
    const struct {
        std::string folder, result;  // the folder swept, the container a success leaves
        std::vector<std::string> files, args;
        int message;
        size_t stride, positionStride, binaryEvery, refusedPercent;
        int otherMessage = 0;  // also allowed: a damaged MAC digest OID names an unknown digest
    } sweeps[] = {
        {input, reader + "/bad.000", {"in.pfx"}, import, kMsgReadPkcs12, 2, 1, 40, 90,
         kMsgUnsupportedAlgorithm},
        {one, one, kContainerFiles, AddArgs(one), kMsgOpenContainer, 2, 1, 50, 90},
        {two, two, kContainerFiles, RepairArgs(two), kMsgRepair, 32, 16, 20, 0},
    };
    for (const auto& sweep : sweeps) {
        SCOPED_TRACE(sweep.args[0]);
        size_t refused = 0, other = 0;
        const size_t tried =
            Sweep(sweep.folder, sweep.files, sweep.stride, sweep.positionStride, [&](size_t n) {
                const FolderSnapshot before = Snapshot(sweep.folder);
                const CommandRun result = RunCommandInProcess(sweep.args);
                if (!result.ok) {
                    ++refused;
                    if (result.messageId == sweep.otherMessage && sweep.otherMessage != 0) {
                        ++other;
                    } else {
                        ASSERT_EQ(result.messageId, sweep.message);
                    }
                    ASSERT_TRUE(Snapshot(sweep.folder) == before)
                        << "a refused command changed the folder";
                    ASSERT_TRUE(Entries(reader).empty()) << "a refused import left a folder";
                    if (n % sweep.binaryEvery == 0 && result.messageId == sweep.message)
                        ExpectBinaryFailure(sweep.args, sweep.message);
                    return;
                }
                ASSERT_TRUE(OpenContainerStrict(sweep.result.c_str(), u""));
                Bytes primary, secondary;
                ASSERT_TRUE(RecoverPublicKeys(sweep.result, u"", primary, secondary));
                EXPECT_EQ(primary, SignKey().publicKey);
                EXPECT_EQ(secondary, sweep.folder == input ? Bytes{} : ExchangeKey().publicKey);
                if (sweep.folder == input) fs::remove_all(sweep.result);
            });
        EXPECT_GE(refused * 100, tried * sweep.refusedPercent);
        EXPECT_LE(other * 100, tried) << "the other message is the rare one";
    }
}

// The computation behind -kvpublic writes nothing, so only every 25th case runs the command.
TEST_F(BadInput, PublicExportOfDamagedContainers) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", true);
    ASSERT_FALSE(folder.empty());
    const std::vector<std::string> args = {"-kvpublic", "-contfolder", folder, "-passkv", ""};
    Sweep(folder, kContainerFiles, 2, 1, [&](size_t n) {
        Bytes primary, secondary;
        const bool exported = RecoverPublicKeys(folder, u"", primary, secondary);
        if (exported) {
            EXPECT_EQ(primary, SignKey().publicKey);
            EXPECT_TRUE(secondary.empty() || secondary == ExchangeKey().publicKey);
        }
        if (n % 25 != 0) return;
        const CommandRun result = RunCommandInProcess(args);
        ASSERT_EQ(result.ok, exported);
        if (!exported) {
            ASSERT_EQ(result.messageId, kMsgPublicExport);
            if (n % 50 == 0) ExpectBinaryFailure(args, kMsgPublicExport);
            return;
        }
        EXPECT_EQ(ReadFileBytes(folder + "/public1"), PublicFile(primary));
        EXPECT_EQ(FileExists(folder + "/public2"), !secondary.empty());
        fs::remove(folder + "/public1");
        fs::remove(folder + "/public2");
    });
}

// Refused before anything is read (a FIFO must not block). -kvpublic does without header.key
// or primary.key: the second copy holds the key, the provider type is given.
TEST_F(BadInput, OversizedAndSpecialFilesAreRefused) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir / "reader", "", false);
    ASSERT_FALSE(folder.empty());
    const FolderSnapshot pristine = Snapshot(folder);
    const std::string input = dir / "input", reader = dir / "empty-reader";
    ASSERT_TRUE(fs::create_directory(reader));
    const std::vector<std::string> exportArgs = {"-kvpublic", "-contfolder", folder, "-provtype",
                                                 "75"};
    // 16 MiB + 1 and 4 GiB + 1 bytes (a length that does not fit 32 bits), and a FIFO.
    for (const uintmax_t size :
         {(uintmax_t{16} << 20) + 1, (uintmax_t{1} << 32) + 1, uintmax_t{0}}) {
        const struct {
            std::string path;
            std::vector<std::string> args;
            int message;
        } runs[] = {
            {input,
             {"-p12tokv", "-sg", "-infile", input, "-contname", "big", "-rdrfolder", reader},
             size == 0 ? 102 : kMsgReadPkcs12},
            {input, {"-kvrepair", "-contfolder", folder, "-certsg", input}, kMsgRepair},
            {folder + "/" + kHeaderFile, AddArgs(folder), kMsgOpenContainer},
            {folder + "/" + kPrimaryFile, AddArgs(folder), kMsgOpenContainer},
            {folder + "/" + kHeaderFile, exportArgs, 0},
            {folder + "/" + kPrimaryFile, exportArgs, 0},
        };
        for (const auto& run : runs) {
            SCOPED_TRACE(run.path + " of " + std::to_string(size) + " bytes for " + run.args[0]);
            fs::remove(run.path);
            if (size == 0) {
                ASSERT_EQ(mkfifo(run.path.c_str(), 0600), 0);
            } else {
                ASSERT_TRUE(WriteFileBytes(run.path, {0x30}));
                fs::resize_file(run.path, size);
            }
            const CommandRun result = RunCommandInProcess(run.args);
            EXPECT_EQ(result.ok, run.message == 0);
            EXPECT_EQ(result.messageId, run.message);
            EXPECT_TRUE(Entries(reader).empty());
            fs::remove(folder + "/public1");
            EXPECT_TRUE(run.path != input || Snapshot(folder) == pristine);
            Restore(folder, pristine);
        }
    }
}

TEST_F(BadInput, Passwords) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "pw", false);
    ASSERT_FALSE(folder.empty());
    std::vector<std::string> wrongPkcs12Password = AddArgs(folder, "pw");
    wrongPkcs12Password.at(5) = "wrong";  // the value of -passp12
    const std::pair<std::vector<std::string>, int> runs[] = {
        {wrongPkcs12Password, kMsgReadPkcs12},
        {AddArgs(folder, "other"), kMsgOpenContainer},
        {AddArgs(folder, "pw"), 0},
        {RepairArgs(folder, "other"), kMsgRepair},
        {RepairArgs(folder, "pw"), 0},
        {{"-kvpublic", "-contfolder", folder, "-passkv", "other"}, kMsgPublicExport},
        {{"-kvpublic", "-contfolder", folder, "-passkv", "pw"}, 0}};
    for (const auto& [args, message] : runs) {
        EXPECT_EQ(RunCommandInProcess(args).messageId, message) << args[0] << " " << args.back();
    }
    EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u"pw"));
}

// A seed that once crashed stays fixed.
TEST(FuzzCorpus, ReplaysEverySeed) {
    const struct {
        const char* corpus;
        int (*run)(const uint8_t* data, size_t size);
        size_t minimumSeeds;
    } targets[] = {{"der", fuzz::DerFuzzOne, 10},
                   {"command_line", fuzz::CommandLineFuzzOne, 8},
                   {"container_records", fuzz::ContainerRecordsFuzzOne, 8},
                   {"container_folder", fuzz::ContainerFolderFuzzOne, 8},
                   {"pkcs12", fuzz::Pkcs12FuzzOne, 29},
                   {"certificate_file", fuzz::CertificateFileFuzzOne, 8}};
    for (const auto& target : targets) {
        size_t seeds = 0;
        for (const auto& seed :
             fs::directory_iterator(fs::path(KEYMEND_SOURCE_DIR) / "fuzz/corpus" / target.corpus)) {
            SCOPED_TRACE(seed.path().string());
            const Bytes input = ReadFileBytes(seed.path());
            EXPECT_EQ(target.run(input.data(), input.size()), 0);
            ++seeds;
        }
        EXPECT_GE(seeds, target.minimumSeeds) << target.corpus;
    }
}

}  // namespace
}  // namespace keymend::test

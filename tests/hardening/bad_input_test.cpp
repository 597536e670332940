// Bad input at the command level: cut and altered PKCS#12 files under -p12tokv, cut and altered
// container files under -p12addtokv, -kvpublic and -kvrepair. Each command either fails with its
// own message, leaving nothing behind and the container as it was, or succeeds where the change
// is harmless, with a result that holds the right keys. The sweep runs in this process (the
// sanitizer build checks every access); a sample also runs through the binary, which must exit
// with code 1 and the command's message, never by a signal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "container/container.h"
#include "container/protection.h"
#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

constexpr int kMsgReadPkcs12 = 103;
constexpr int kMsgOpenContainer = 105;
constexpr int kMsgRepair = 111;
constexpr int kMsgPublicExport = 121;

// A damaged copy of `original`: a prefix (cut) or one byte changed (altered).
struct Damage {
    std::string description;
    Bytes bytes;
};

// Every prefix at most `stride` apart (always the empty file and the last one) and, at every
// `positionStride`-th position, one changed byte: a flipped bit (the bit moving with the
// position), and on every fourth position also 0x00 and 0xFF.
std::vector<Damage> Damages(const Bytes& original, size_t stride, size_t positionStride = 1) {
    std::vector<Damage> damages;
    for (size_t length = 0; length < original.size(); length += stride) {
        damages.push_back({"cut to " + std::to_string(length),
                           Bytes(original.begin(), original.begin() + length)});
        if (length + stride >= original.size() && length + 1 != original.size()) {
            length = original.size() - 1 - stride;  // the prefix one byte short comes next
        }
    }
    for (size_t i = 0; i < original.size(); i += positionStride) {
        const uint8_t values[3] = {static_cast<uint8_t>(original[i] ^ (1u << (i % 8))), 0x00, 0xFF};
        for (size_t v = 0; v < (i % 4 == 0 ? 3u : 1u); ++v) {
            const uint8_t value = values[v];
            if (value == original[i]) continue;
            Damage damage{"byte " + std::to_string(i) + " = " + std::to_string(value), original};
            damage.bytes[i] = value;
            damages.push_back(std::move(damage));
        }
    }
    return damages;
}

// Through the binary: exit code 1, the command's message and the closing message, no signal.
void ExpectBinaryFailure(const std::vector<std::string>& args, int messageId) {
    static const std::map<int, std::string> kTexts = {
        {kMsgReadPkcs12, "Failed to open PKCS#12 key container file."},
        {kMsgOpenContainer, "Failed to open Kalvion CSP key container."},
        {kMsgRepair, "Unable to repair Kalvion CSP key container."},
        {kMsgPublicExport, "Failed to retreive public key from Kalvion CSP key container."}};
    const RunResult run = RunKeymend(args);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find(kTexts.at(messageId)), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Failed while executing."), std::string::npos) << run.out;
}

TEST(BadInput, Pkcs12ImportFailsCleanlyOnEveryDamage) {
    TempDir dir;
    const std::string reader = dir / "reader";
    ASSERT_TRUE(std::filesystem::create_directory(reader));
    const std::string pfx = dir / "input.pfx";
    const std::vector<std::string> args = {"-p12tokv", "-sg",       "-infile",    pfx,
                                           "-passp12", "secret",    "-contname",  "bad",
                                           "-rdrfolder", reader,    "-passkv",    ""};
    const std::vector<Damage> damages = Damages(ReadFileBytes(SignKey().pfx), 2);
    size_t failures = 0, sampled = 0;
    for (size_t n = 0; n < damages.size(); ++n) {
        SCOPED_TRACE(damages[n].description);
        std::filesystem::remove(pfx);  // a new file each time: truncation would flush it
        ASSERT_TRUE(WriteFileBytes(pfx, damages[n].bytes));
        const CommandResult result = RunCommandInProcess(args);
        if (!result.ok) {
            ++failures;
            ASSERT_EQ(result.messageId, kMsgReadPkcs12);
            ASSERT_TRUE(Entries(reader).empty()) << "a folder was left behind";
            if (n % 40 == 0) {
                ExpectBinaryFailure(args, kMsgReadPkcs12);
                ++sampled;
                ASSERT_TRUE(Entries(reader).empty()) << "a folder was left behind";
            }
            continue;
        }
        // A harmless change: the new container holds the file's key.
        const std::vector<std::string> created = Entries(reader);
        ASSERT_EQ(created.size(), 1u);
        Bytes primary, secondary;
        ASSERT_TRUE(RecoverPublicKeys(reader + "/" + created[0], u"", primary, secondary));
        EXPECT_EQ(primary, SignKey().publicKey);
        std::filesystem::remove_all(reader + "/" + created[0]);
    }
    EXPECT_GT(failures, damages.size() * 9 / 10);
    RecordProperty("damaged_inputs", static_cast<int>(damages.size()));
    std::printf("[ bad input ] -p12tokv: %zu damaged files, %zu refused, %zu through the binary\n",
                damages.size(), failures, sampled);
}

// Sweeps every container file through `check`, which runs one command over the damaged
// container in `folder` and checks its outcome. The container is restored after each run.
// Returns the number of damaged containers tried.
size_t SweepContainerFiles(const std::string& folder, size_t stride, size_t positionStride,
                           const std::function<void(const std::string& file, size_t n)>& check) {
    const FolderSnapshot pristine = Snapshot(folder);
    size_t tried = 0;
    for (const char* file : {kNameFile, kHeaderFile, kPrimaryFile, kMasksFile, kPrimary2File,
                             kMasks2File}) {
        const std::vector<Damage> damages = Damages(pristine.at(file), stride, positionStride);
        for (const Damage& damage : damages) {
            SCOPED_TRACE(std::string(file) + ": " + damage.description);
            FolderSnapshot damaged = pristine;
            damaged[file] = damage.bytes;
            Restore(folder, damaged);
            check(file, tried++);
            if (testing::Test::HasFatalFailure()) return tried;
        }
    }
    Restore(folder, pristine);
    return tried;
}

// Runs a rewriting command on a damaged container: refused with `message` and the folder left
// exactly as it was (every `binaryEvery`-th case also through the binary), or a result that opens
// strictly with both keys. Counts the refusals.
void ExpectRefusedUnchangedOrBothKeys(const std::string& folder,
                                      const std::vector<std::string>& args, int message,
                                      size_t n, size_t binaryEvery, size_t& refused) {
    const FolderSnapshot before = Snapshot(folder);
    const CommandResult result = RunCommandInProcess(args);
    if (!result.ok) {
        ++refused;
        ASSERT_EQ(result.messageId, message);
        ASSERT_TRUE(Snapshot(folder) == before) << "a refused container was changed";
        if (n % binaryEvery == 0) ExpectBinaryFailure(args, message);
        return;
    }
    ASSERT_TRUE(OpenContainerStrict(folder.c_str(), u""));
    Bytes primary, secondary;
    ASSERT_TRUE(RecoverPublicKeys(folder, u"", primary, secondary));
    EXPECT_EQ(primary, SignKey().publicKey);
    EXPECT_EQ(secondary, ExchangeKey().publicKey);
}

// A damaged container under -p12addtokv: refused with message 105 and left exactly as it was,
// or (a harmless change) the second key is added and both keys are recovered.
TEST(BadInput, SecondKeyImportRefusesDamagedContainers) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", false);
    ASSERT_FALSE(folder.empty());
    const std::vector<std::string> args = {"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx,
                                           "-passp12", "secret", "-contfolder", folder,
                                           "-passkv", ""};
    size_t refused = 0;
    const size_t tried = SweepContainerFiles(folder, 2, 1, [&](const std::string&, size_t n) {
        ExpectRefusedUnchangedOrBothKeys(folder, args, kMsgOpenContainer, n, 50, refused);
    });
    std::printf("[ bad input ] -p12addtokv: %zu damaged containers, %zu refused\n", tried, refused);
}

// A damaged container under -kvpublic: message 121, or public keys that are the container's.
// The sweep runs the computation behind the command (ExportPublicKeys), which writes nothing;
// every 25th case runs the whole command (which flushes its files), every 50th through the binary.
TEST(BadInput, PublicExportOfDamagedContainers) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", true);
    ASSERT_FALSE(folder.empty());
    const std::vector<std::string> args = {"-kvpublic", "-contfolder", folder, "-passkv", ""};
    size_t refused = 0, wrong = 0;
    const size_t tried = SweepContainerFiles(folder, 2, 1, [&](const std::string&, size_t n) {
        Bytes primary, secondary;
        const bool exported = RecoverPublicKeys(folder, u"", primary, secondary);
        if (!exported) {
            ++refused;
        } else {
            if (primary != SignKey().publicKey) ++wrong;
            if (!secondary.empty() && secondary != ExchangeKey().publicKey) ++wrong;
        }
        if (n % 25 != 0) return;
        std::filesystem::remove(folder + "/public1");
        std::filesystem::remove(folder + "/public2");
        const CommandResult result = RunCommandInProcess(args);
        ASSERT_EQ(result.ok, exported);
        if (!exported) {
            ASSERT_EQ(result.messageId, kMsgPublicExport);
            if (n % 50 == 0) ExpectBinaryFailure(args, kMsgPublicExport);
            return;
        }
        // public1 / public2: 0x04, the key's length, the key.
        const Bytes public1 = ReadFileBytes(folder + "/public1");
        ASSERT_EQ(public1.size(), primary.size() + 2);
        EXPECT_TRUE(std::equal(primary.begin(), primary.end(), public1.begin() + 2));
        EXPECT_EQ(FileExists(folder + "/public2"), !secondary.empty());
    });
    std::printf("[ bad input ] -kvpublic: %zu damaged containers, %zu refused, %zu wrong keys\n",
                tried, refused, wrong);
    EXPECT_EQ(wrong, 0u);
}

// A damaged container under -kvrepair: refused with message 111 and left exactly as it was, or
// repaired into a container that opens strictly with both keys. A repair flushes six files, so
// this sweep samples more thinly.
TEST(BadInput, RepairOfDamagedContainers) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", true);
    ASSERT_FALSE(folder.empty());
    const std::vector<std::string> args = {"-kvrepair", "-contfolder", folder, "-certsg",
                                           SignKey().certificate, "-certex",
                                           ExchangeKey().certificate, "-passkv", ""};
    size_t refused = 0;
    const size_t tried = SweepContainerFiles(folder, 32, 16, [&](const std::string&, size_t n) {
        ExpectRefusedUnchangedOrBothKeys(folder, args, kMsgRepair, n, 20, refused);
    });
    std::printf("[ bad input ] -kvrepair: %zu damaged containers, %zu refused\n", tried, refused);
}

// Files that are too large (sparse, so nothing is written to disk) or not regular files at all
// are refused with the message for a file of their kind, before anything is read or allocated;
// a FIFO must not make the command wait for a writer.
TEST(BadInput, OversizedAndSpecialFilesAreRefused) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir / "reader", "", false);
    ASSERT_FALSE(folder.empty());
    const FolderSnapshot pristine = Snapshot(folder);
    auto makeSparse = [](const std::string& path, uintmax_t size) {
        std::filesystem::remove(path);
        ASSERT_TRUE(WriteFileBytes(path, {0x30}));
        std::filesystem::resize_file(path, size);
    };
    auto makeFifo = [](const std::string& path) {
        std::filesystem::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    };
    const std::string input = dir / "input";
    const std::string reader = dir / "empty-reader";
    ASSERT_TRUE(std::filesystem::create_directory(reader));
    // 16 MiB + 1 and 4 GiB + 1 (whose length does not fit 32 bits).
    const std::vector<std::function<void()>> inputs = {
        [&] { makeSparse(input, (16u << 20) + 1); },
        [&] { makeSparse(input, (uintmax_t{1} << 32) + 1); },
        [&] { makeFifo(input); }};
    size_t tried = 0;
    for (const auto& make : inputs) {
        make();
        SCOPED_TRACE("input " + std::to_string(tried));
        ++tried;
        const CommandResult import = RunCommandInProcess(
            {"-p12tokv", "-sg", "-infile", input, "-passp12", "secret", "-contname", "big",
             "-rdrfolder", reader});
        EXPECT_FALSE(import.ok);
        EXPECT_TRUE(import.messageId == kMsgReadPkcs12 || import.messageId == 102)
            << import.messageId;
        EXPECT_TRUE(Entries(reader).empty());
        const CommandResult repair =
            RunCommandInProcess({"-kvrepair", "-contfolder", folder, "-certsg", input});
        EXPECT_FALSE(repair.ok);
        EXPECT_EQ(repair.messageId, kMsgRepair);
        EXPECT_TRUE(Snapshot(folder) == pristine);
        // The same as a container file.
        for (const char* file : {kHeaderFile, kPrimaryFile}) {
            SCOPED_TRACE(file);
            std::filesystem::remove(folder + "/" + file);
            std::filesystem::rename(input, folder + "/" + file);
            EXPECT_EQ(RunCommandInProcess({"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx,
                                           "-passp12", "secret", "-contfolder", folder})
                          .messageId,
                      kMsgOpenContainer);
            // -kvpublic does without either: the second copy holds the key, and the provider
            // type comes from the command line when the header is unusable.
            const CommandResult exported =
                RunCommandInProcess({"-kvpublic", "-contfolder", folder, "-provtype", "75"});
            EXPECT_TRUE(exported.ok) << exported.messageId;
            std::filesystem::remove(folder + "/public1");
            Restore(folder, pristine);
            make();
        }
    }
}

}  // namespace
}  // namespace keymend::test

// Replacing files as one step: whatever kills the replacement or fails in it, once the leftovers
// are finished the folder holds exactly the old files or exactly the new ones.
#include "container/rewrite.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "container/container.h"
#include "crypto/hash/hash.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"
#include "platform/seams.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

// Two files replaced, one created; a user's file beside them stays as it is.
const FolderSnapshot kOld = {{"header.key", {1, 2, 3}}, {"primary.key", {4}}, {"notes", {9}}};
const FolderSnapshot kNew = {
    {"header.key", {5, 6}}, {"primary.key", {7, 7, 7}}, {"public1", {8}}, {"notes", {9}}};

bool Replace(const std::string& folder) {
    FolderHandle handle;
    if (!handle.Open(folder.c_str()) || handle.Lock(LockMode::kExclusive) != LockResult::kLocked)
        return false;
    std::vector<NewFileContent> files;
    for (const char* name : {"header.key", "primary.key", "public1"}) {
        const Bytes& bytes = kNew.at(name);
        files.push_back({name, bytes.data(), bytes.size(), true});
    }
    return ReplaceFiles(handle, files.data(), files.size());
}

// What the next command finds, after it has finished the leftovers.
FolderSnapshot Recovered(const std::string& folder) {
    FolderHandle handle;
    EXPECT_EQ(OpenContainerFolder(folder.c_str(), LockMode::kShared, handle),
              FolderStatus::kOpened);
    return Snapshot(folder);
}

// Runs the replacement in a child with the seams `setup` sets; true when it was killed.
bool RunChild(const std::string& folder, const std::function<void()>& setup) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setup();
        _exit(Replace(folder) ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFSIGNALED(status);
}

TEST(Rewrite, OldOrNewWhateverStopsIt) {
    TempDir dir;
    const std::string folder = dir.path();
    Restore(folder, kOld);
    SetCrashAtFileStepForTesting(1000000);
    ResetFileOpCounts();
    ASSERT_TRUE(Replace(folder));
    const uint32_t steps = FileStepCount();
    uint32_t ops[kFileOpKinds];
    for (int k = 0; k < kFileOpKinds; ++k) ops[k] = FileOpCount(static_cast<FileOp>(k));
    SetCrashAtFileStepForTesting(0);
    EXPECT_EQ(Snapshot(folder), kNew);
    EXPECT_GE(steps, 20u);

    int outcomes[2] = {};  // old, new
    auto expectOldOrNew = [&](const std::string& what, bool failed) {
        SCOPED_TRACE(what);
        const FolderSnapshot after = Recovered(folder);
        EXPECT_TRUE(after == kOld || after == kNew) << "neither old nor new";
        EXPECT_TRUE(!failed || after == kOld) << "a failure reported, yet the files changed";
        ++outcomes[after == kNew ? 1 : 0];
        Restore(folder, kOld);
    };
    // Killed at every step; then each operation failing once; then, after a failed rename has
    // begun to put the old files back, killed at every later step.
    for (uint32_t n = 1; n <= steps; ++n) {
        EXPECT_TRUE(RunChild(folder, [n] { SetCrashAtFileStepForTesting(n); }));
        expectOldOrNew("killed at step " + std::to_string(n), false);
    }
    for (int k = 0; k < kFileOpKinds; ++k) {
        for (uint32_t n = 1; n <= ops[k]; ++n) {
            SetFileFaultForTesting(static_cast<FileOp>(k), n);
            const bool done = Replace(folder);
            SetFileFaultForTesting(static_cast<FileOp>(k), 0);
            expectOldOrNew("operation " + std::to_string(k) + " #" + std::to_string(n) + " fails",
                           !done);
        }
    }
    // The same again as if a power loss had lost the journal's renaming to the undo journal.
    for (const bool lostUndo : {false, true}) {
        for (uint32_t n = 1; n <= ops[static_cast<int>(FileOp::kReplace)]; ++n) {
            for (uint32_t m = 1; m <= steps; ++m) {
                RunChild(folder, [n, m] {
                    SetFileFaultForTesting(FileOp::kReplace, n);
                    SetCrashAtFileStepForTesting(m);
                });
                for (const std::string& name : Entries(folder)) {
                    if (lostUndo && name.ends_with(".undo")) {
                        fs::rename(dir / name,
                                   dir / (name.substr(0, name.size() - 5) + ".journal"));
                    }
                }
                expectOldOrNew("rename " + std::to_string(n) + " fails, killed at " +
                                   std::to_string(m) + (lostUndo ? ", undo lost" : ""),
                               false);
            }
        }
    }
    EXPECT_GT(outcomes[0], 0);
    EXPECT_GT(outcomes[1], 0);
}

// A journal of three entries under a valid digest whose second entry ends four bytes past the
// entries (its digest cut short): its reading must stop there, not run on past the file.
Bytes OverrunJournal() {
    const std::string header = "header.key", primary = "primary.key";
    Bytes body = Cat({{'K', 'M', 'R', 'W', 1, 3, 1, 10}, Bytes(header.begin(), header.end()),
                      Bytes(36, 0), {1, 11}, Bytes(primary.begin(), primary.end()), Bytes(32, 0)});
    Bytes sum(32);
    EXPECT_TRUE(StreebogHash(kAlgStreebog256, body.data(), body.size(), sum.data()));
    return Cat({body, sum});
}

// Leftovers nothing decided: a torn journal (cut short, or with entries past its end) and new
// files go; a backup whose file is missing comes back; a name that only looks like a leftover,
// or a user's file, stays.
TEST(Rewrite, LeftoversWithoutADecision) {
    TempDir dir;
    const std::string folder = dir.path();
    const std::string tag = "0123456789abcdef";
    for (const Bytes& journal : {Bytes{'K', 'M', 'R', 'W', 1, 1}, OverrunJournal()}) {
        FolderSnapshot files = kOld;
        files["rewrite." + tag + ".journal"] = journal;
        files["header.key." + tag + ".new"] = {5, 6};
        files["masks.key." + tag + ".old"] = {3, 3};
        files["primary.key." + tag + ".old"] = {4, 4};
        files["other." + tag + ".new"] = {1};
        files["primary.key.tmp"] = {2};
        Restore(folder, files);
        FolderSnapshot expected = kOld;
        expected["masks.key"] = {3, 3};
        expected["other." + tag + ".new"] = {1};
        expected["primary.key.tmp"] = {2};
        EXPECT_EQ(Recovered(folder), expected) << journal.size() << "-byte journal";
    }
}

}  // namespace
}  // namespace keymend::test

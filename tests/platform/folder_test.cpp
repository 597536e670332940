// The folder handle: locks between handles, names never followed or written through, and the
// commands on a real FAT file system (an image made by mkfs.vfat, mounted with fusefat).
#include "platform/folder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "container/container.h"
#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/seams.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

TEST(Folder, LocksExcludeEachOtherAndDieWithTheProcess) {
    TempDir dir;
    SetLockWaitForTesting(50);
    const struct {
        LockMode held, wanted;
        LockResult result;
    } cases[] = {
        {LockMode::kShared, LockMode::kShared, LockResult::kLocked},
        {LockMode::kShared, LockMode::kExclusive, LockResult::kBusy},
        {LockMode::kExclusive, LockMode::kShared, LockResult::kBusy},
        {LockMode::kExclusive, LockMode::kExclusive, LockResult::kBusy},
    };
    for (const auto& c : cases) {
        FolderHandle holder, other;
        ASSERT_TRUE(holder.Open(dir.path().c_str()) && other.Open(dir.path().c_str()));
        ASSERT_EQ(holder.Lock(c.held), LockResult::kLocked);
        EXPECT_EQ(other.Lock(c.wanted), c.result);
        holder.Close();
        EXPECT_EQ(other.Lock(c.wanted), LockResult::kLocked);
    }
    // A holder killed by a signal leaves no lock behind.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        FolderHandle holder;
        if (!holder.Open(dir.path().c_str()) ||
            holder.Lock(LockMode::kExclusive) != LockResult::kLocked)
            _exit(1);
        raise(SIGSTOP);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    FolderHandle waiting;
    ASSERT_TRUE(waiting.Open(dir.path().c_str()));
    EXPECT_EQ(waiting.Lock(LockMode::kShared), LockResult::kBusy);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    EXPECT_EQ(waiting.Lock(LockMode::kExclusive), LockResult::kLocked);
    SetLockWaitForTesting(0);
}

// New files are created, never written through an existing name, a link or a dangling link;
// links are neither read through nor followed when renamed over or removed.
TEST(Folder, NamesAreNeverFollowed) {
    TempDir dir, outside;
    const std::string target = outside / "target";
    ASSERT_TRUE(WriteFileBytes(target, {1, 2, 3}));
    ASSERT_TRUE(WriteFileBytes(dir / "taken", {4}));
    fs::create_symlink(target, dir / "link");
    fs::create_symlink(outside / "missing", dir / "dangling");
    fs::create_hard_link(target, dir / "hard");
    FolderHandle folder;
    ASSERT_TRUE(folder.Open(dir.path().c_str()));
    const uint8_t data[] = {9};
    for (const char* name : {"taken", "link", "dangling", "hard"}) {
        EXPECT_FALSE(folder.CreateNewFile(name, data, 1, true)) << name;
    }
    EXPECT_FALSE(fs::exists(outside / "missing"));
    const auto keep = [](size_t, void*) -> uint8_t* { return nullptr; };
    EXPECT_FALSE(folder.ReadFile("link", 100, keep, nullptr));
    EXPECT_EQ(folder.Kind("link"), EntryKind::kOther);
    ASSERT_TRUE(folder.CreateNewFile("fresh", data, 1, true));
    EXPECT_TRUE(folder.Rename("fresh", "link"));
    EXPECT_TRUE(folder.Remove("dangling"));
    EXPECT_EQ(ReadFileBytes(target), (Bytes{1, 2, 3}));
    EXPECT_EQ(ReadFileBytes(dir / "link"), Bytes{9});
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "link")));
}

// The commands on FAT, which holds no modes and no hard links: a new container, a second key, a
// repair and the public keys; and a rewrite killed halfway is finished by the next command.
TEST(Folder, CommandsOnFat) {
    const char* mkfs = fs::exists("/usr/sbin/mkfs.vfat") ? "/usr/sbin/mkfs.vfat" : "mkfs.vfat";
    if (RunShell(std::string("command -v ") + mkfs +
                 " && command -v fusefat && command -v fusermount")
            .exitCode != 0) {
        GTEST_SKIP()
            << "mkfs.vfat, fusefat or fusermount is missing (scripts/deps.sh installs them)";
    }
    TempDir dir;
    const std::string image = dir / "fat.img", mount = dir / "mnt";
    fs::create_directory(mount);
    const RunResult made =
        RunShell("truncate -s 16M '" + image + "' && " + mkfs + " '" + image +
                 "' >/dev/null && fusefat '" + image + "' '" + mount + "' -o rw+ >/dev/null 2>&1");
    if (made.exitCode != 0 || RunShell("mountpoint -q '" + mount + "'").exitCode != 0) {
        GTEST_SKIP() << "this machine cannot mount a FAT image with fusefat (/dev/fuse unusable)";
    }
    struct Unmount {
        std::string mount;
        ~Unmount() { RunShell("fusermount -u '" + mount + "'"); }
    } unmount{mount};

    const std::string folder = MakeFixtureContainer(mount, "", false);
    ASSERT_EQ(folder, mount + "/fixture.000");
    const FolderSnapshot oneKey = Snapshot(folder);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        SetCrashAtFileStepForTesting(25);  // past the journal, among the renames
        _exit(RunCommandInProcess(AddArgs(folder)).ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_GT(Entries(folder).size(), 6u) << "nothing left to finish";
    ContainerImagePtr opened = OpenContainerStrict(folder.c_str(), u"");
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->primary.secondKey.empty()) << "the decided rewrite was not finished";
    EXPECT_EQ(Entries(folder).size(), 6u);

    Restore(folder, oneKey);
    for (const std::vector<std::string>& args :
         {AddArgs(folder), RepairArgs(folder), {"-kvpublic", "-contfolder", folder}}) {
        const RunResult run = RunKeymend(args);
        EXPECT_EQ(run.out, "Successfully finished.\n") << args[0];
    }
    Bytes primary, secondary;
    ASSERT_TRUE(OpenContainerStrict(folder.c_str(), u""));
    ASSERT_TRUE(RecoverPublicKeys(folder, u"", primary, secondary));
    EXPECT_EQ(primary, SignKey().publicKey);
    EXPECT_EQ(secondary, ExchangeKey().publicKey);
    EXPECT_EQ(ReadFileBytes(folder + "/public2"), PublicFile(ExchangeKey().publicKey));
    EXPECT_EQ(Entries(folder).size(), 8u);
}

}  // namespace
}  // namespace keymend::test

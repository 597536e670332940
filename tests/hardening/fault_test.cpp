// Faults during the rewrite of a container, at the command level: -p12addtokv and -kvrepair
// killed with SIGKILL at every file-changing step, a file-size limit, a read-only folder and a
// failing random source. After each, either the command reported failure and the old container
// still opens strictly with its keys, or it succeeded and the new one does; in every case the
// public-key export recovers every key. Commands run in a forked child, which the crash seam
// (platform/files.h) kills.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"
#include "platform/random.h"

namespace keymend::test {
namespace {

constexpr int kMsgCreateContainer = 104;
constexpr int kMsgRepair = 111;

struct ChildOutcome {
    bool killed = false;
    int signal = 0;
    bool ok = false;
    int messageId = 0;
};

// Runs the command in a child process after `setup`; the child reports the result by its exit
// code (0 success, else the message id, 1 when there is none).
ChildOutcome RunInChild(const std::vector<std::string>& args, const std::function<void()>& setup) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setup();
        const CommandResult result = RunCommandInProcess(args);
        _exit(result.ok ? 0 : (result.messageId > 0 && result.messageId < 256 ? result.messageId : 1));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    ChildOutcome outcome;
    if (WIFSIGNALED(status)) {
        outcome.killed = true;
        outcome.signal = WTERMSIG(status);
    } else {
        outcome.ok = WEXITSTATUS(status) == 0;
        outcome.messageId = WEXITSTATUS(status);
    }
    return outcome;
}

// What must hold after any outcome: the keys that were there, and the new key when the command
// succeeded, are recovered by the public-key export; a reported outcome leaves a container that
// opens strictly (the old one after a failure, the new one after success).
void CheckNothingLost(const std::string& folder, const char16_t* password,
                      const ChildOutcome& outcome, const Bytes& expectedSecond,
                      bool secondMayAppear) {
    Bytes primary, secondary;
    ASSERT_TRUE(RecoverPublicKeys(folder, password, primary, secondary)) << "no key recovered";
    EXPECT_EQ(primary, SignKey().publicKey);
    if (!expectedSecond.empty()) {
        EXPECT_EQ(secondary, expectedSecond);
    } else if (!secondary.empty()) {
        EXPECT_TRUE(secondMayAppear);
        EXPECT_EQ(secondary, ExchangeKey().publicKey);
    }
    if (!outcome.killed) {
        ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
        ASSERT_TRUE(image) << "a reported outcome left a container that does not open";
        EXPECT_EQ(image->primary.secondKey.empty(), secondary.empty());
    }
}

std::vector<std::string> AddArgs(const std::string& folder, const std::string& password) {
    return {"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx, "-passp12", "secret",
            "-contfolder", folder, "-passkv", password};
}

std::vector<std::string> RepairArgs(const std::string& folder, const std::string& password) {
    return {"-kvrepair", "-contfolder", folder, "-certsg", SignKey().certificate, "-certex",
            ExchangeKey().certificate, "-passkv", password};
}

void FlipLastByte(const std::string& path) {
    Bytes bytes = ReadFileBytes(path);
    ASSERT_FALSE(bytes.empty());
    bytes.back() ^= 0x01;
    std::filesystem::remove(path);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
}

// Kills the command at every step of its run, from the first until it completes. The container
// has the empty password, which keeps its key derivation short.
size_t KillAtEveryStep(const std::string& folder, const std::vector<std::string>& args,
                       const Bytes& secondAfter, const Bytes& secondBefore) {
    const FolderSnapshot pristine = Snapshot(folder);
    size_t kills = 0;
    for (uint32_t step = 1; step < 200; ++step) {
        SCOPED_TRACE("killed at step " + std::to_string(step));
        Restore(folder, pristine);
        const ChildOutcome outcome =
            RunInChild(args, [step] { SetCrashAtFileStepForTesting(step); });
        if (!outcome.killed) {
            EXPECT_TRUE(outcome.ok) << "message " << outcome.messageId;
            CheckNothingLost(folder, u"", outcome, secondAfter, false);
            break;
        }
        EXPECT_EQ(outcome.signal, SIGKILL);
        ++kills;
        CheckNothingLost(folder, u"", outcome, secondBefore, true);
        if (testing::Test::HasFatalFailure()) break;
    }
    Restore(folder, pristine);
    return kills;
}

TEST(Faults, SecondKeyImportKilledAtEveryStep) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", false);
    ASSERT_FALSE(folder.empty());
    const size_t kills = KillAtEveryStep(folder, AddArgs(folder, ""), ExchangeKey().publicKey, {});
    EXPECT_GE(kills, 20u);
    std::printf("[ faults ] -p12addtokv killed at %zu points, nothing lost\n", kills);
}

TEST(Faults, RepairKilledAtEveryStep) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "", true);
    ASSERT_FALSE(folder.empty());
    // A damaged header MAC: the container no longer opens strictly, the repair rebuilds it.
    FlipLastByte(folder + "/header.key");
    const size_t kills = KillAtEveryStep(folder, RepairArgs(folder, ""), ExchangeKey().publicKey,
                                         ExchangeKey().publicKey);
    EXPECT_GE(kills, 20u);
    std::printf("[ faults ] -kvrepair killed at %zu points, nothing lost\n", kills);
}

// The command under a file-size limit (RLIMIT_FSIZE), with SIGXFSZ ignored (the write fails and
// the command reports it) and with its default action (the process dies mid-write).
TEST(Faults, FileSizeLimitDuringTheRewrite) {
    TempDir dir;
    const std::string one = MakeFixtureContainer(dir / "one", "", false);
    const std::string two = MakeFixtureContainer(dir / "two", "", true);
    ASSERT_FALSE(one.empty());
    ASSERT_FALSE(two.empty());
    FlipLastByte(two + "/header.key");
    size_t runs = 0;
    for (const rlim_t limit : {rlim_t{0}, rlim_t{20}, rlim_t{40}, rlim_t{60}, rlim_t{100}, rlim_t{300}}) {
        for (const bool ignoreSignal : {true, false}) {
            SCOPED_TRACE("limit " + std::to_string(limit) + (ignoreSignal ? ", SIGXFSZ ignored" : ""));
            auto setup = [limit, ignoreSignal] {
                if (ignoreSignal) signal(SIGXFSZ, SIG_IGN);
                const rlimit bound{limit, limit};
                setrlimit(RLIMIT_FSIZE, &bound);
            };
            const FolderSnapshot addBefore = Snapshot(one);
            const ChildOutcome add = RunInChild(AddArgs(one, ""), setup);
            if (!add.killed && !add.ok) {
                EXPECT_EQ(add.messageId, kMsgCreateContainer);
            }
            CheckNothingLost(one, u"", add, add.ok ? ExchangeKey().publicKey : Bytes{}, add.killed);
            Restore(one, addBefore);

            const FolderSnapshot repairBefore = Snapshot(two);
            const ChildOutcome repair = RunInChild(RepairArgs(two, ""), setup);
            if (!repair.killed && !repair.ok) {
                EXPECT_EQ(repair.messageId, kMsgRepair);
            }
            if (repair.ok) {
                CheckNothingLost(two, u"", repair, ExchangeKey().publicKey, false);
            } else {
                // The damaged header stays, so only the keys are checked.
                Bytes primary, secondary;
                ASSERT_TRUE(RecoverPublicKeys(two, u"", primary, secondary));
                EXPECT_EQ(primary, SignKey().publicKey);
                EXPECT_EQ(secondary, ExchangeKey().publicKey);
            }
            Restore(two, repairBefore);
            runs += 2;
        }
    }
    std::printf("[ faults ] file-size limits: %zu runs, nothing lost\n", runs);
}

// A folder the command may not write into: both commands fail and the container is untouched.
// As root, the child drops to an unprivileged user that owns the files but not the right to
// create files in the folder.
TEST(Faults, ReadOnlyContainerFolder) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir.path(), "pw", false);
    ASSERT_FALSE(folder.empty());
    const bool root = geteuid() == 0;
    constexpr uid_t kNobody = 65534;
    // The fixtures go beside the container, where the child can read them.
    std::filesystem::copy_file(ExchangeKey().pfx, dir / "x.pfx");
    std::filesystem::copy_file(SignKey().certificate, dir / "s.cer");
    chmod(dir.path().c_str(), 0755);
    for (const std::string name : {"x.pfx", "s.cer"}) chmod((dir / name).c_str(), 0644);
    if (root) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            ASSERT_EQ(chown(entry.path().c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
    auto dropPrivileges = [root] {
        if (root && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(99);
    };
    const FolderSnapshot before = Snapshot(folder);
    const ChildOutcome add = RunInChild(
        {"-p12addtokv", "-ex", "-infile", dir / "x.pfx", "-passp12", "secret", "-contfolder",
         folder, "-passkv", "pw"},
        dropPrivileges);
    EXPECT_FALSE(add.ok || add.killed);
    EXPECT_EQ(add.messageId, kMsgCreateContainer);
    EXPECT_TRUE(Snapshot(folder) == before);
    const ChildOutcome repair = RunInChild(
        {"-kvrepair", "-contfolder", folder, "-certsg", dir / "s.cer", "-passkv", "pw"},
        dropPrivileges);
    EXPECT_FALSE(repair.ok || repair.killed);
    EXPECT_EQ(repair.messageId, kMsgRepair);
    EXPECT_TRUE(Snapshot(folder) == before);
    chmod(folder.c_str(), 0700);
    CheckNothingLost(folder, u"pw", add, {}, false);
}

// The random source fails at its n-th use: the command fails or succeeds, nothing is lost.
uint32_t gRandomCalls = 0;
uint32_t gRandomFailAt = 0;
bool FailingRandom(uint8_t* buffer, size_t n) {
    if (++gRandomCalls >= gRandomFailAt) return false;
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(0x5A ^ (i * 131) ^ gRandomCalls);
    return true;
}

TEST(Faults, FailingRandomSource) {
    TempDir dir;
    const std::string one = MakeFixtureContainer(dir / "one", "", false);
    const std::string two = MakeFixtureContainer(dir / "two", "", true);
    ASSERT_FALSE(one.empty());
    ASSERT_FALSE(two.empty());
    size_t runs = 0;
    for (uint32_t failAt = 1; failAt <= 6; ++failAt) {
        SCOPED_TRACE("random source fails from use " + std::to_string(failAt));
        for (const bool repair : {false, true}) {
            const std::string& folder = repair ? two : one;
            const FolderSnapshot before = Snapshot(folder);
            gRandomCalls = 0;
            gRandomFailAt = failAt;
            SetRandomSourceForTesting(FailingRandom);
            const CommandResult result =
                RunCommandInProcess(repair ? RepairArgs(folder, "") : AddArgs(folder, ""));
            SetRandomSourceForTesting(nullptr);
            ChildOutcome outcome;
            outcome.ok = result.ok;
            if (!result.ok) {
                EXPECT_EQ(result.messageId, repair ? kMsgRepair : kMsgCreateContainer);
                EXPECT_TRUE(Snapshot(folder) == before) << "a failed command changed the folder";
            }
            CheckNothingLost(folder, u"", outcome,
                             repair || result.ok ? ExchangeKey().publicKey : Bytes{}, false);
            Restore(folder, before);
            ++runs;
        }
    }
    std::printf("[ faults ] failing random source: %zu runs, nothing lost\n", runs);
}

}  // namespace
}  // namespace keymend::test

// Faults while -p12addtokv and -kvrepair rewrite a container, each in a forked child. Every key
// survives; a failure leaves the folder as it was (after a replaced file: a repair succeeds).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"
#include "platform/random.h"

namespace keymend::test {
namespace {

uint32_t gRandomCalls = 0;
uint32_t gRandomFailAt = 0;
bool FailingRandom(uint8_t* buffer, size_t n) {
    if (++gRandomCalls >= gRandomFailAt) return false;
    for (size_t i = 0; i < n; ++i)
        buffer[i] = static_cast<uint8_t>(0x5A ^ (i * 131) ^ gRandomCalls);
    return true;
}

struct Fault {
    std::string what;
    std::function<void()> setup;  // in the child
    int dieBy = 0;                // SIGKILL: must die by it; SIGXFSZ: may die by it
    bool mustFail = false;
    bool unchangedOnFailure = true;
};

TEST(Faults, NothingIsLostWhateverFails) {
    for (const bool repair : {false, true}) {
        SCOPED_TRACE(repair ? "-kvrepair" : "-p12addtokv");
        TempDir dir;
        const std::string folder = MakeFixtureContainer(dir / "reader", "", repair);
        ASSERT_FALSE(folder.empty());
        if (repair) DamageFolder(folder, "header.key@1");  // the repair rebuilds the header
        // The inputs go beside the container, where an unprivileged child can read them.
        std::vector<std::string> args = repair ? RepairArgs(folder) : AddArgs(folder);
        for (const std::string& from :
             {ExchangeKey().pfx, SignKey().certificate, ExchangeKey().certificate}) {
            const std::string to = dir / std::filesystem::path(from).filename();
            std::filesystem::copy_file(from, to);
            chmod(to.c_str(), 0644);
            std::replace(args.begin(), args.end(), from, to);
        }
        for (const std::string& path : {dir.path(), dir / "reader"}) chmod(path.c_str(), 0755);
        const FolderSnapshot before = Snapshot(folder);

        SetCrashAtFileStepForTesting(1000000);
        ResetFileOpCounts();
        ASSERT_TRUE(RunCommandInProcess(args).ok);
        const uint32_t steps = FileStepCount();
        const uint32_t ops[] = {FileOpCount(FileOp::kWrite), FileOpCount(FileOp::kFlush),
                                FileOpCount(FileOp::kReplace)};
        SetCrashAtFileStepForTesting(0);
        Restore(folder, before);
        EXPECT_GE(steps, 20u);
        EXPECT_GT(ops[2], 1u);

        std::vector<Fault> faults;
        for (uint32_t n = 1; n <= steps; ++n) {
            faults.push_back({"killed at step " + std::to_string(n),
                              [n] { SetCrashAtFileStepForTesting(n); }, SIGKILL});
        }
        for (const FileOp op : {FileOp::kWrite, FileOp::kFlush, FileOp::kReplace}) {
            for (uint32_t n = 1; n <= ops[static_cast<int>(op)]; ++n) {
                faults.push_back({"file operation " + std::to_string(static_cast<int>(op)) + " #" +
                                      std::to_string(n) + " fails",
                                  [op, n] { SetFileFaultForTesting(op, n); }, 0, true,
                                  op != FileOp::kReplace || n == 1});
            }
        }
        for (uint32_t n = 1; n <= 6; ++n) {
            const auto setup = [n] {
                gRandomFailAt = n;
                SetRandomSourceForTesting(FailingRandom);
            };
            // Masks and salts of a repair need it from the start.
            faults.push_back(
                {"random fails from use " + std::to_string(n), setup, 0, repair && n == 1});
        }
        for (const rlim_t limit : {0, 20, 40, 60, 100, 300}) {
            for (const bool ignoreSignal : {true, false}) {
                const auto setup = [limit, ignoreSignal] {
                    if (ignoreSignal) signal(SIGXFSZ, SIG_IGN);
                    const rlimit bound{limit, limit};
                    setrlimit(RLIMIT_FSIZE, &bound);
                };
                faults.push_back({"file size limit " + std::to_string(limit) +
                                      (ignoreSignal ? ", SIGXFSZ ignored" : ""),
                                  setup, ignoreSignal ? 0 : SIGXFSZ});
            }
        }
        // As root the child becomes a user that owns the files but may not create any.
        const auto readOnly = [folder] {
            constexpr uid_t kNobody = 65534;
            if (chmod(folder.c_str(), 0500) != 0) _exit(98);
            if (geteuid() != 0) return;
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                if (chown(entry.path().c_str(), kNobody, kNobody) != 0) _exit(98);
            }
            if (chown(folder.c_str(), kNobody, kNobody) != 0 || setgid(kNobody) != 0 ||
                setuid(kNobody) != 0) {
                _exit(99);
            }
        };
        faults.push_back({"read-only folder", readOnly, 0, true});

        for (const Fault& fault : faults) {
            SCOPED_TRACE(fault.what);
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                fault.setup();
                const CommandResult r = RunCommandInProcess(args);
                _exit(r.ok ? 0 : (r.messageId > 0 && r.messageId < 256 ? r.messageId : 1));
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
            const bool killed = WIFSIGNALED(status);
            const int signal = killed ? WTERMSIG(status) : 0;
            EXPECT_TRUE(fault.dieBy == SIGKILL ? signal == SIGKILL
                                               : signal == 0 || signal == fault.dieBy)
                << "signal " << signal;
            bool done = !killed && WEXITSTATUS(status) == 0;
            EXPECT_FALSE(fault.mustFail && (killed || done)) << "not reported";
            if (!killed && !done) {
                EXPECT_EQ(WEXITSTATUS(status), repair ? 111 : 104);  // the command's message
                if (fault.unchangedOnFailure) {
                    EXPECT_TRUE(Snapshot(folder) == before)
                        << "a failed command changed the folder";
                } else if (repair) {
                    done = RunCommandInProcess(args).ok;
                    EXPECT_TRUE(done) << "a second repair fails";
                }
            }
            Bytes primary, secondary;
            ASSERT_TRUE(RecoverPublicKeys(folder, u"", primary, secondary)) << "no key recovered";
            EXPECT_EQ(primary, SignKey().publicKey);
            // Once a kill or a failure has cut the rewrite short, the new key may be there or not.
            const bool cut = killed || (!done && !fault.unchangedOnFailure);
            EXPECT_EQ(secondary, repair || done || (cut && !secondary.empty())
                                     ? ExchangeKey().publicKey
                                     : Bytes{});
            if (done) {
                ContainerImagePtr image = OpenContainerStrict(folder.c_str(), u"");
                ASSERT_TRUE(image) << "a reported success left a container that does not open";
                EXPECT_FALSE(image->primary.secondKey.empty());
            }
            Restore(folder, before);
        }
    }
}

}  // namespace
}  // namespace keymend::test

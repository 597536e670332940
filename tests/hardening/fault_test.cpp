// Faults while -p12addtokv and -kvrepair rewrite a container: the process killed at every
// file-changing step, every file operation failing in turn, file-size limits, a failing random
// source and a folder it may not write into. Each run is a forked child. After a kill every key
// is still recovered; a reported failure carries the command's message and leaves the folder
// byte for byte as it was (or, once a file has been replaced, a second run succeeds); a success
// leaves a container that opens strictly with both keys.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"
#include "platform/random.h"

namespace keymend::test {
namespace {

struct Outcome {
    bool killed = false;
    int signal = 0;
    bool ok = false;
    int messageId = 0;
};

// Runs the command in a child after `setup`; the exit code carries the result (0 success, else
// the message id, 1 when there is none).
Outcome RunInChild(const std::vector<std::string>& args, const std::function<void()>& setup) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setup();
        const CommandResult r = RunCommandInProcess(args);
        _exit(r.ok ? 0 : (r.messageId > 0 && r.messageId < 256 ? r.messageId : 1));
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) return {true, WTERMSIG(status), false, 0};
    return {false, 0, WEXITSTATUS(status) == 0, WEXITSTATUS(status)};
}

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
        // A damaged header MAC: the container no longer opens strictly, the repair rebuilds it.
        if (repair) DamageFolder(folder, "header.key@1");
        // The inputs go beside the container, where an unprivileged child can read them.
        std::filesystem::copy_file(ExchangeKey().pfx, dir / "x.pfx");
        std::filesystem::copy_file(SignKey().certificate, dir / "s.cer");
        std::filesystem::copy_file(ExchangeKey().certificate, dir / "x.cer");
        for (const std::string& path : {dir.path(), dir / "reader"}) chmod(path.c_str(), 0755);
        for (const char* name : {"x.pfx", "s.cer", "x.cer"}) chmod((dir / name).c_str(), 0644);
        const std::vector<std::string> args =
            repair ? std::vector<std::string>{"-kvrepair",   "-contfolder", folder,       "-certsg",
                                              dir / "s.cer", "-certex",     dir / "x.cer"}
                   : std::vector<std::string>{"-p12addtokv", "-ex",    "-infile",     dir / "x.pfx",
                                              "-passp12",    "secret", "-contfolder", folder};
        const int message = repair ? 111 : 104;
        const FolderSnapshot before = Snapshot(folder);

        // A clean run counts the steps and operations there are to break.
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
                                  [op, n] { SetFileFaultForTesting(op, n); }, false, true,
                                  op != FileOp::kReplace || n == 1});
            }
        }
        for (uint32_t n = 1; n <= 6; ++n) {
            const auto setup = [n] {
                gRandomFailAt = n;
                SetRandomSourceForTesting(FailingRandom);
            };
            faults.push_back({"random source fails from use " + std::to_string(n), setup, false,
                              repair && n == 1});
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
        // As root the child drops to an unprivileged user that owns the files but may not
        // create files in the folder.
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
        faults.push_back({"read-only folder", readOnly, false, true});

        for (const Fault& fault : faults) {
            SCOPED_TRACE(fault.what);
            const Outcome outcome = RunInChild(args, fault.setup);
            ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
            EXPECT_TRUE(fault.dieBy == SIGKILL
                            ? outcome.signal == SIGKILL
                            : outcome.signal == 0 || outcome.signal == fault.dieBy)
                << "signal " << outcome.signal;
            EXPECT_FALSE(fault.mustFail && (outcome.ok || outcome.killed)) << "not reported";
            bool done = outcome.ok;
            if (!outcome.killed && !outcome.ok) {
                EXPECT_EQ(outcome.messageId, message);
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
            const bool cut = outcome.killed || (!outcome.ok && !fault.unchangedOnFailure);
            const bool second = repair || done || (cut && !secondary.empty());
            EXPECT_EQ(secondary, second ? ExchangeKey().publicKey : Bytes{});
            if (done) {
                ContainerImagePtr image = OpenContainerStrict(folder.c_str(), u"");
                ASSERT_TRUE(image) << "a reported success left a container that does not open";
                EXPECT_FALSE(image->primary.secondKey.empty());
            }
            Restore(folder, before);
        }
        std::printf("[ faults ] %s: %zu faults (%u kill points, %u/%u/%u file operations)\n",
                    args[0].c_str(), faults.size(), steps, ops[0], ops[1], ops[2]);
    }
}

}  // namespace
}  // namespace keymend::test

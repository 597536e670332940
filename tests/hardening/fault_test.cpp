// Faults while each command writes, each run in a forked child: killed at every file step, every
// file operation failing once, the random source failing, a file-size limit, a read-only
// folder. After the next command the folder holds exactly the old state or exactly the new one,
// and a failure that was reported left the old one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "container/container.h"
#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/seams.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

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
    bool killed = false;          // dies by SIGKILL
    bool mustFail = false;
};

const std::vector<std::string> kSixFiles = {"header.key", "masks.key",   "masks2.key",
                                            "name.key",   "primary.key", "primary2.key"};

// One command under test: its arguments, the folder it changes, the messages a failure may
// print, and what its new state is.
struct Subject {
    std::string name;
    std::vector<std::string> args;
    std::string folder;
    std::set<int> messages;
    std::function<bool(const FolderSnapshot& before)> isNew;  // after the next command
};

std::vector<Subject> Subjects(const TempDir& dir) {
    const std::string one = MakeFixtureContainer(dir / "one", "", false);
    const std::string two = MakeFixtureContainer(dir / "two", "", true);
    const std::string reader = dir / "reader";
    EXPECT_FALSE(one.empty() || two.empty());
    fs::create_directory(reader);
    DamageFolder(two, "header.key@1");  // the repair rebuilds the header
    const auto containerIsNew = [](const std::string& folder, bool second) {
        return [folder, second](const FolderSnapshot& before) {
            return Snapshot(folder) != before && Entries(folder) == kSixFiles &&
                   OpensWithKeys(folder, second);
        };
    };
    const auto publicIsNew = [two](const FolderSnapshot& before) {
        FolderSnapshot expected = before;
        expected["public1"] = PublicFile(SignKey().publicKey);
        expected["public2"] = PublicFile(ExchangeKey().publicKey);
        return Snapshot(two) == expected;
    };
    // New: the killed run's container beside the one the next run made.
    const auto importIsNew = [reader](const FolderSnapshot&) {
        return Entries(reader) == std::vector<std::string>{"fixture.000", "fixture.001"} &&
               OpensWithKeys(reader + "/fixture.000", false);
    };
    return {
        {"-p12addtokv", AddArgs(one), one, {104}, containerIsNew(one, true)},
        {"-kvrepair", RepairArgs(two), two, {111}, containerIsNew(two, true)},
        {"-kvpublic", {"-kvpublic", "-contfolder", two}, two, {0}, publicIsNew},
        {"-p12tokv",
         {"-p12tokv", "-sg", "-infile", SignKey().pfx, "-passp12", "secret", "-contname", "fixture",
          "-rdrfolder", reader},
         reader,
         {103, 104},
         importIsNew},
    };
}

// The next command: for a container, what every command does first (finishing leftovers); for
// the reader folder, another import, which must succeed. Then whether the old state is there.
bool OldAfterNextCommand(const Subject& subject, const FolderSnapshot& before) {
    if (subject.name != "-p12tokv") {
        FolderHandle handle;
        EXPECT_EQ(OpenContainerFolder(subject.folder.c_str(), LockMode::kShared, handle),
                  FolderStatus::kOpened);
        return Snapshot(subject.folder) == before;
    }
    EXPECT_TRUE(RunCommandInProcess(subject.args).ok) << "the next import fails";
    return Entries(subject.folder) == std::vector<std::string>{"fixture.000"} &&
           OpensWithKeys(subject.folder + "/fixture.000", false);
}

void Reset(const Subject& subject, const FolderSnapshot& before) {
    if (subject.name == "-p12tokv") {
        for (const std::string& name : Entries(subject.folder))
            fs::remove_all(subject.folder + "/" + name);
    } else {
        Restore(subject.folder, before);
    }
}

TEST(Faults, OldOrNewAfterTheNextCommand) {
    TempDir dir;
    const std::vector<Subject> subjects = Subjects(dir);
    // The inputs go beside the containers, where an unprivileged child can read them.
    for (const std::string& path : {dir.path(), dir / "one", dir / "two", dir / "reader"})
        chmod(path.c_str(), 0755);
    for (const Subject& subjectIn : subjects) {
        Subject subject = subjectIn;
        SCOPED_TRACE(subject.name);
        for (const std::string& from :
             {ExchangeKey().pfx, SignKey().pfx, SignKey().certificate, ExchangeKey().certificate}) {
            const std::string to = dir / fs::path(from).filename();
            fs::copy_file(from, to, fs::copy_options::skip_existing);
            chmod(to.c_str(), 0644);
            std::replace(subject.args.begin(), subject.args.end(), from, to);
        }
        const FolderSnapshot before = Snapshot(subject.folder);

        SetCrashAtFileStepForTesting(1000000);
        ResetFileOpCounts();
        ASSERT_TRUE(RunCommandInProcess(subject.args).ok);
        const uint32_t steps = FileStepCount();
        uint32_t ops[kFileOpKinds];
        for (int k = 0; k < kFileOpKinds; ++k) ops[k] = FileOpCount(static_cast<FileOp>(k));
        SetCrashAtFileStepForTesting(0);
        Reset(subject, before);
        EXPECT_GE(steps, subject.name == "-kvpublic" ? 10u : 20u);

        std::vector<Fault> faults;
        for (uint32_t n = 1; n <= steps; ++n) {
            faults.push_back({"killed at step " + std::to_string(n),
                              [n] { SetCrashAtFileStepForTesting(n); }, true});
        }
        for (int k = 0; k < kFileOpKinds; ++k) {
            for (uint32_t n = 1; n <= ops[k]; ++n) {
                const FileOp op = static_cast<FileOp>(k);
                faults.push_back(
                    {"file operation " + std::to_string(k) + " #" + std::to_string(n) + " fails",
                     [op, n] { SetFileFaultForTesting(op, n); }});
            }
        }
        for (uint32_t n = 1; n <= 6; ++n) {
            const auto setup = [n] {
                gRandomFailAt = n;
                SetRandomSourceForTesting(FailingRandom);
            };
            faults.push_back({"random fails from use " + std::to_string(n), setup});
        }
        for (const rlim_t limit : {0, 20, 40, 60, 100, 300}) {
            const auto setup = [limit] {
                const rlimit bound{limit, limit};
                setrlimit(RLIMIT_FSIZE, &bound);
            };
            faults.push_back({"file size limit " + std::to_string(limit), setup});
        }
        // As root the child becomes a user that owns the files but may not create any.
        const std::string folder = subject.folder;
        const auto readOnly = [folder] {
            constexpr uid_t kNobody = 65534;
            if (chmod(folder.c_str(), 0500) != 0) _exit(98);
            if (geteuid() != 0) return;
            for (const auto& entry : fs::directory_iterator(folder)) {
                if (chown(entry.path().c_str(), kNobody, kNobody) != 0) _exit(98);
            }
            if (chown(folder.c_str(), kNobody, kNobody) != 0 || setgid(kNobody) != 0 ||
                setuid(kNobody) != 0) {
                _exit(99);
            }
        };
        faults.push_back({"read-only folder", readOnly, false, true});

        int outcomes[2] = {};  // old, new
        for (const Fault& fault : faults) {
            SCOPED_TRACE(fault.what);
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                FileSystemInit();  // as the process entry does
                fault.setup();
                _exit(ExitCode(RunCommandInProcess(subject.args)));
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
            if (geteuid() == 0) {
                for (const auto& entry : fs::recursive_directory_iterator(folder)) {
                    chown(entry.path().c_str(), 0, 0);
                }
                chown(folder.c_str(), 0, 0);
            }
            const bool killed = WIFSIGNALED(status);
            EXPECT_EQ(killed ? WTERMSIG(status) : 0, fault.killed ? SIGKILL : 0);
            const bool done = !killed && WEXITSTATUS(status) == 0;
            EXPECT_FALSE(fault.mustFail && done) << "not reported";
            if (!killed && !done) {
                const int message = WEXITSTATUS(status) == 200 ? 0 : WEXITSTATUS(status);
                EXPECT_EQ(subject.messages.count(message), 1u) << "message " << message;
            }
            if (!killed && !done) {
                // A reported failure cleaned up after itself: no temporary holds key material.
                EXPECT_TRUE(subject.name == "-p12tokv" ? Entries(folder).empty()
                                                       : Snapshot(folder) == before)
                    << "a failure left " << testing::PrintToString(Entries(folder));
            }
            const bool isOld = OldAfterNextCommand(subject, before);
            const bool isNew = !isOld && subject.isNew(before);
            EXPECT_TRUE(isOld || isNew)
                << "neither the old nor the new state: " << testing::PrintToString(Entries(folder));
            EXPECT_TRUE(killed || done || isOld) << "a failure changed the folder";
            ++outcomes[isNew ? 1 : 0];
            Reset(subject, before);
        }
        EXPECT_GT(outcomes[0], 0);
        EXPECT_GT(outcomes[1], 0);
    }
}

// Under a file-size limit the binary fails with its message, not by the signal, and leaves
// nothing behind.
TEST(Faults, FileSizeLimitIsAFailure) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir / "reader", "", false);
    ASSERT_FALSE(folder.empty());
    const FolderSnapshot before = Snapshot(folder);
    std::string line = "ulimit -f 0; exec '" + std::string(KEYMEND_BINARY) + "'";
    for (const std::string& arg : AddArgs(folder)) line += " '" + arg + "'";
    const RunResult run = RunShell(line);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Failed to create Kalvion CSP key container.\nFailed while executing.\n");
    EXPECT_EQ(Snapshot(folder), before);
}

}  // namespace
}  // namespace keymend::test

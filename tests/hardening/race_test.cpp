// Commands run at the same time on one container. Each interleaving is forced: a command stops
// itself (SIGSTOP) at a chosen file step while it holds the container's lock, and a waiting
// command tells through a pipe when it found the lock taken.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "container/container.h"
#include "container/protection.h"
#include "hardening/hardening_support.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "platform/seams.h"

namespace keymend::test {
namespace {

namespace fs = std::filesystem;

constexpr int kContainerFull = 108;
constexpr int kContainerBusy = 125;

// Stops at this step, or with 0 at the first step after a file was renamed (past the decision).
uint32_t gPauseStep = 0;
void PauseHook(uint32_t step) {
    if (step == gPauseStep || (gPauseStep == 0 && FileOpCount(FileOp::kReplace) > 0)) {
        gPauseStep = UINT32_MAX;
        raise(SIGSTOP);
    }
}

int gBusyPipe = -1;
void BusyHook() {
    const char byte = 1;
    if (write(gBusyPipe, &byte, 1) != 1) _exit(97);
}

// A child running `args`: stopped at the pause step (returned once it is stopped), or telling
// `busyPipe` when it waits for the lock.
pid_t Start(const std::vector<std::string>& args, uint32_t pauseStep, int busyPipe = -1) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ResetFileOpCounts();
        if (busyPipe < 0) {
            gPauseStep = pauseStep;
            SetFileStepHookForTesting(PauseHook);
        } else {
            gBusyPipe = busyPipe;
            SetLockBusyHookForTesting(BusyHook);
        }
        _exit(ExitCode(RunCommandInProcess(args)));
    }
    if (busyPipe < 0) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WUNTRACED), pid);
        EXPECT_TRUE(WIFSTOPPED(status)) << "the command did not reach its pause";
    }
    return pid;
}

int Finish(pid_t pid, int signal = SIGCONT) {
    kill(pid, signal);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// `first` paused at `pauseStep` (as Start), then `second` started until it finds the lock taken;
// the exit codes of both once the first goes on.
std::pair<int, int> SecondWaitsForFirst(const std::vector<std::string>& first, uint32_t pauseStep,
                                        const std::vector<std::string>& second) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t one = Start(first, pauseStep);
    const pid_t two = Start(second, 0, fds[1]);
    close(fds[1]);  // a child that never waits ends the read below
    char byte = 0;
    EXPECT_EQ(read(fds[0], &byte, 1), 1);
    const int firstExit = Finish(one);
    const int secondExit = Finish(two);
    close(fds[0]);
    return {firstExit, secondExit};
}

// Two -p12addtokv on a one-key container: one adds, the other finds it full or in use.
TEST(Races, TwoAddsOneKey) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir / "reader", "", false);
    ASSERT_FALSE(folder.empty());
    const FolderSnapshot oneKey = Snapshot(folder);
    SetLockWaitForTesting(100);
    // The second runs while the first holds the lock (before and after its decision): refused
    // as in use, and the first adds its key.
    for (const uint32_t step : {1u, 0u}) {
        SCOPED_TRACE(step == 1 ? "paused before writing" : "paused after a rename");
        const pid_t first = Start(AddArgs(folder), step);
        EXPECT_EQ(ExitCode(RunCommandInProcess(AddArgs(folder))), kContainerBusy);
        EXPECT_EQ(Finish(first), 0);
        EXPECT_EQ(ExitCode(RunCommandInProcess(AddArgs(folder))), kContainerFull);
        EXPECT_TRUE(OpensWithKeys(folder, true));
        Restore(folder, oneKey);
    }
    SetLockWaitForTesting(0);
    // The second waits for the first and then finds the container full.
    EXPECT_EQ(SecondWaitsForFirst(AddArgs(folder), 1, AddArgs(folder)),
              std::make_pair(0, kContainerFull));
    EXPECT_TRUE(OpensWithKeys(folder, true));
    Restore(folder, oneKey);
    // The first is killed holding the lock: before its decision the second adds the key, after
    // it the second finds the container full.
    for (const uint32_t step : {1u, 0u}) {
        SCOPED_TRACE(step == 1 ? "killed before writing" : "killed after a rename");
        EXPECT_EQ(Finish(Start(AddArgs(folder), step), SIGKILL), -SIGKILL);
        EXPECT_EQ(ExitCode(RunCommandInProcess(AddArgs(folder))), step == 1 ? 0 : kContainerFull);
        EXPECT_TRUE(OpensWithKeys(folder, true));
        EXPECT_EQ(Entries(folder).size(), 6u) << "leftovers";
        Restore(folder, oneKey);
    }
}

// -p12addtokv and -kvrepair in either order: the one that comes second waits, and the key the
// add brought survives the repair.
TEST(Races, AddAndRepair) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir / "reader", "", false);
    ASSERT_FALSE(folder.empty());
    const FolderSnapshot oneKey = Snapshot(folder);
    std::vector<std::string> repair = RepairArgs(folder);
    for (const bool addFirst : {true, false}) {
        SCOPED_TRACE(addFirst ? "add, then repair" : "repair, then add");
        EXPECT_EQ(SecondWaitsForFirst(addFirst ? AddArgs(folder) : repair, 0,
                                      addFirst ? repair : AddArgs(folder)),
                  std::make_pair(0, 0));
        EXPECT_TRUE(OpensWithKeys(folder, true));
        Restore(folder, oneKey);
    }
}

// The binary, twice at once, unforced: never two successes, never a lost key.
TEST(Races, TwoAddProcesses) {
    TempDir dir;
    const std::string folder = MakeFixtureContainer(dir / "reader", "", false);
    ASSERT_FALSE(folder.empty());
    const FolderSnapshot oneKey = Snapshot(folder);
    for (int run = 0; run < 8; ++run) {
        RunResult results[2];
        std::thread other([&] { results[1] = RunKeymend(AddArgs(folder)); });
        results[0] = RunKeymend(AddArgs(folder));
        other.join();
        const int successes = (results[0].exitCode == 0) + (results[1].exitCode == 0);
        EXPECT_EQ(successes, 1) << run;
        for (const RunResult& r : results) {
            EXPECT_TRUE(r.exitCode == 0 || r.out == FailureOutput(kContainerFull)) << r.out;
        }
        EXPECT_TRUE(OpensWithKeys(folder, true)) << run;
        Restore(folder, oneKey);
    }
}

// A symbolic link to the container is swapped for one to another container while a command
// runs: the folder it opened is the one it writes.
TEST(Races, SwappedFolderLink) {
    TempDir dir;
    const std::string first = MakeFixtureContainer(dir / "a", "", false);
    const std::string second = MakeFixtureContainer(dir / "b", "", false);
    ASSERT_FALSE(first.empty() || second.empty());
    const FolderSnapshot untouched = Snapshot(second);
    const std::string link = dir / "link";
    fs::create_directory_symlink(first, link);
    const pid_t add = Start(AddArgs(link), 1);
    fs::create_directory_symlink(second, dir / "link.new");
    fs::rename(dir / "link.new", link);
    EXPECT_EQ(Finish(add), 0);
    EXPECT_TRUE(OpensWithKeys(first, true));
    EXPECT_EQ(Snapshot(second), untouched);
}

}  // namespace
}  // namespace keymend::test

// Passwords kept off the command line: each source gives exactly what the same text as the
// option's value gives, a source that cannot be read refuses the line, and a running keymend
// hides its passwords from /proc and keeps out of core files.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/console.h"
#include "support/test_support.h"
#include "platform/seams.h"

namespace keymend::test {
namespace {

struct Parsed {
    bool ok = false;
    std::u16string container;
    std::string p12;
};

// Parses "keymend args..." in this process; the vector handed over is returned in `argv`.
Parsed Parse(std::vector<std::string> args, std::vector<std::string>* argv = nullptr) {
    args.insert(args.begin(), "keymend");
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(a.data());
    Settings s;
    const bool ok = ParseCommandLine(s, static_cast<int>(pointers.size()), pointers.data());
    if (argv != nullptr) *argv = args;
    return {ok, s.containerPassword, s.p12Password};
}

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A pipe holding `data` whose writing end is closed: "fd:N" of its reading end.
std::string PipeSource(const std::string& data, std::vector<int>& open) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fds[1]);
    open.push_back(fds[0]);
    return "fd:" + std::to_string(fds[0]);
}

TEST(PasswordSources, GiveWhatTheOptionValueGives) {
    const struct {
        std::string text;
        const char* codeset;
        bool containerOk, p12Ok;
    } texts[] = {
        {"пароль ключа", nullptr, true, true},
        {"", nullptr, true, true},
        {" blanks\tkept ", nullptr, true, true},
        {std::string(255, 'p'), nullptr, true, true},
        {std::string(256, 'p'), nullptr, false, false},
        {[] {
             std::string s;
             for (int i = 0; i < 128; ++i) s += "Ж";
             return s;
         }(),
         nullptr, true, false},
        {"ab\xD0", nullptr, false, false},
        {"\xCF\xE0\xF0\xEE\xEB\xFC", "CP1251", true, true},
        {std::string(1100, 'p'), nullptr, false, false},
    };
    TempDir dir;
    for (const auto& t : texts) {
        SCOPED_TRACE(t.text.substr(0, 16) + " (" + std::to_string(t.text.size()) + " bytes)");
        ASSERT_EQ(setenv("KEYMEND_TEST_PASSWORD", t.text.c_str(), 1), 0);
        ASSERT_TRUE(WriteFileBytes(dir / "lf", B(t.text + "\nsecond")));
        ASSERT_TRUE(WriteFileBytes(dir / "crlf", B(t.text + "\r\n")));
        ASSERT_TRUE(WriteFileBytes(dir / "bare", B(t.text)));
        SetLocaleCodesetForTesting(t.codeset);
        for (const bool container : {true, false}) {
            const std::string option = container ? "-passkv" : "-passp12";
            const Parsed given = Parse({"-help", option, t.text});
            EXPECT_EQ(given.ok, container ? t.containerOk : t.p12Ok) << option;
            std::vector<int> pipes;
            std::vector<std::string> sources = {"pass:" + t.text, "env:KEYMEND_TEST_PASSWORD",
                                                "file:" + dir / "lf", "file:" + dir / "crlf",
                                                PipeSource(t.text + "\nnext line\n", pipes)};
            if (!t.text.empty()) sources.push_back("file:" + dir / "bare");  // else: no line
            for (const std::string& source : sources) {
                const Parsed read = Parse({"-help", option + "in", source});
                EXPECT_EQ(read.ok, given.ok) << option << "in " << source.substr(0, 24);
                if (read.ok && given.ok) {
                    EXPECT_TRUE(read.container == given.container && read.p12 == given.p12)
                        << option << "in " << source.substr(0, 24);
                }
            }
            for (int fd : pipes) close(fd);
        }
        SetLocaleCodesetForTesting(nullptr);
    }
    unsetenv("KEYMEND_TEST_PASSWORD");
}

TEST(PasswordSources, UnreadableSourcesRefuseTheLine) {
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "empty", {}));
    ASSERT_TRUE(WriteFileBytes(dir / "nul", {'a', 0, 'b', '\n'}));
    const int closed = dup(2);
    ASSERT_GE(closed, 0);
    close(closed);
    std::vector<int> pipes;
    unsetenv("KEYMEND_NO_SUCH_VARIABLE");
    for (const std::string& source :
         {std::string("env:KEYMEND_NO_SUCH_VARIABLE"), "file:" + dir / "absent",
          "file:" + dir / "empty", "file:" + dir.path(), "file:" + dir / "nul",
          "fd:" + std::to_string(closed), PipeSource("", pipes)}) {
        for (const char* option : {"-passkvin", "-passp12in"}) {
            EXPECT_FALSE(Parse({"-help", option, source}).ok) << option << " " << source;
        }
    }
    for (int fd : pipes) close(fd);
}

// The passwords given as values and as "pass:" texts are overwritten in the vector itself, on a
// refused line too; other words, and sources that are not secrets, stay.
TEST(PasswordSources, ParserOverwritesPasswordArguments) {
    const struct {
        std::vector<std::string> args;
        std::vector<size_t> hidden;  // indices in the vector, program name at 0
    } cases[] = {
        {{"-kvpublic", "-contfolder", "pass:folder", "-passkv", "s1", "-passp12in", "pass:s2",
          "-oid", "-passkv"},
         {5, 7}},
        {{"-bogus", "-passp12", "s3", "-passkvin", "pass:s4"}, {3, 5}},
        {{"-help", "-passkvin", "env:HOME", "-passp12in", "file:/dev/null", "-passp12"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> after;
        Parse(c.args, &after);
        for (size_t i = 1; i < after.size(); ++i) {
            const std::string& before = c.args[i - 1];
            const bool hidden = std::find(c.hidden.begin(), c.hidden.end(), i) != c.hidden.end();
            EXPECT_EQ(after[i], hidden ? std::string(before.size(), '\0') : before) << i;
        }
    }
}

// Standard input: lines taken in the order the line names the sources, an input that ends at
// once refused; the two passwords reach the container and the PKCS#12 file.
TEST(PasswordSources, StandardInputThroughTheBinary) {
    TempDir dir;
    const std::string pfx = DataPath("hardening/sign-2001.pfx");
    const struct {
        std::vector<std::string> args;
        std::string input;
        int exitCode;
    } runs[] = {
        {{"-help", "-passkvin", "stdin"}, "", 2},
        {{"-help", "-passkvin", "stdin"}, "\n", 0},
        {{"-p12tokv", "-rdrfolder", dir.path(), "-contname", "a", "-sg", "-infile", pfx,
          "-passkvin", "stdin", "-passp12in", "stdin"},
         "пароль\nsecret\n",
         0},
        {{"-p12tokv", "-rdrfolder", dir.path(), "-contname", "b", "-sg", "-infile", pfx,
          "-passp12in", "stdin", "-passkvin", "stdin"},
         "secret\r\nпароль\n",
         0},
        {{"-kvpublic", "-contfolder", dir / "a.000", "-passkvin", "stdin"}, "пароль\n", 0},
        {{"-kvpublic", "-contfolder", dir / "b.000", "-passkvin", "stdin"}, "пароль", 0},
        {{"-kvpublic", "-contfolder", dir / "b.000", "-passkvin", "stdin"}, "secret\n", 1},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.args[0] + " " + r.args[2]);
        EXPECT_EQ(RunKeymendWithInput(r.args, r.input, {"LANG=C.UTF-8"}).exitCode, r.exitCode);
    }
}

// From a terminal the line is read without echo: what was typed never comes back.
TEST(PasswordSources, TerminalInputIsNotEchoed) {
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES"}) unsetenv(name);
        setenv("LANG", "C", 1);
        execl(KEYMEND_BINARY, KEYMEND_BINARY, "-help", "-passp12in", "stdin", nullptr);
        _exit(127);
    }
    // Typed before echo is off, the line would be echoed (and then discarded): wait for it.
    termios mode{};
    for (int i = 0; i < 2000 && tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ECHO); ++i)
        usleep(10'000);
    EXPECT_EQ(mode.c_lflag & ECHO, 0u);
    const std::string typed = "typed-secret\n";
    ASSERT_EQ(write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    close(terminal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(out.find("Usage:"), std::string::npos);
    EXPECT_EQ(out.find("typed-secret"), std::string::npos) << out.substr(0, 200);
}

// A keymend waiting for its PKCS#12 password on standard input: its command line no longer
// shows the container password; it is not dumpable (its /proc entries belong to root instead of
// the user it runs as) and its core size limit is zero although it started with none.
TEST(RunningProcess, HidesPasswordsAndKeepsOutOfCoreFiles) {
    const std::string secret = "visible-secret";
    const uid_t user = geteuid() == 0 ? 65534 : geteuid();
    rlimit core{};
    ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
    const bool coreRaisable = geteuid() == 0 || core.rlim_max != 0;
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(input[0], 0);
        close(input[0]);
        close(input[1]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        if (setrlimit(RLIMIT_CORE, &unlimited) != 0) {
            const rlimit most{core.rlim_max, core.rlim_max};
            setrlimit(RLIMIT_CORE, &most);
        }
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0))
            _exit(126);
        execl(KEYMEND_BINARY, KEYMEND_BINARY, "-help", "-passkv", secret.c_str(), "-passp12in",
              "stdin", nullptr);
        _exit(127);
    }
    close(input[0]);
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string commandLine;
    bool hidden = false;
    for (int i = 0; i < 2000 && !hidden; ++i) {
        commandLine = ReadText(proc + "/cmdline");
        hidden = commandLine.find("-passp12in") != std::string::npos &&
                 commandLine.find(secret) == std::string::npos;
        if (!hidden) usleep(10'000);
    }
    EXPECT_TRUE(hidden) << commandLine;
    struct stat entry {};
    ASSERT_EQ(stat((proc + "/status").c_str(), &entry), 0);
    EXPECT_NE(user, 0u);
    EXPECT_EQ(entry.st_uid, 0u) << "the process is dumpable";
    std::istringstream limits(ReadText(proc + "/limits"));
    std::string line;
    while (std::getline(limits, line) && line.rfind("Max core file size", 0) != 0) {
    }
    std::istringstream fields(line.substr(std::string("Max core file size").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, "0");
    EXPECT_TRUE(!coreRaisable || hard == "0") << hard;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "it no longer waits for its input";
    ASSERT_EQ(write(input[1], "x\n", 2), 2);
    close(input[1]);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace keymend::test

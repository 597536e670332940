// End-to-end runs of the built binary: manual, refused lines, closing message and exit codes.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace keymend::test {
namespace {

TEST(Run, ManualAndRefusedLinesPrintTheirTextsByteForByte) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        const char* expected;  // file under tests/data/cli
    } runs[] = {
        {{"-help"}, {"LANG=C"}, "help_en.txt"},
        // The Russian locale need not be installed: the texts then come out in UTF-8.
        {{"-help"}, {"LANG=ru_RU.UTF-8"}, "help_ru.txt"},
        {{"-help", "-contfolder", "x", "-noKVKM"}, {"LC_MESSAGES=ru_RU"}, "help_ru.txt"},
        {{"-help"}, {"LC_ALL=C.UTF-8", "LANG=ru_RU.UTF-8"}, "help_en.txt"},  // LC_ALL wins
        {{}, {"LANG=C"}, "refused_en.txt"},
        {{"-help", "bogus"}, {"LANG=C"}, "refused_en.txt"},
        {{"-kvpublic"}, {"LANG=C"}, "refused_en.txt"},
        {{"-kvpublic", "-contfolder"}, {"LANG=C"}, "refused_en.txt"},
        {{"-kvpublic", "-contfolder", "c", "-passkv", "\xC3"}, {"LANG=C"}, "refused_en.txt"},
        {{"-HELP"}, {"LANG=ru_RU.UTF-8"}, "refused_ru.txt"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args.empty() ? "(no arguments)" : run.args.back());
        const Bytes golden = ReadFileBytes(DataPath(std::string("cli/") + run.expected));
        ASSERT_FALSE(golden.empty()) << run.expected;
        const RunResult r = RunKeymend(run.args, run.env);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, std::string(golden.begin(), golden.end())) << run.expected;
    }
}

TEST(Run, FailedCommandEndsWithTheFailureMessage) {
    TempDir dir;
    const RunResult r = RunKeymend({"-kvpublic", "-contfolder", dir / "missing"});
    EXPECT_EQ(r.exitCode, 1);
    const std::string closing = "Failed while executing.\n";
    ASSERT_GE(r.out.size(), closing.size());
    EXPECT_EQ(r.out.substr(r.out.size() - closing.size()), closing);
    EXPECT_EQ(r.out.find("Successfully"), std::string::npos);
}

}  // namespace
}  // namespace keymend::test

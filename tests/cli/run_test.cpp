// End-to-end runs of the built binary: manual, refused lines, closing message and exit codes.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace keymend::test {
namespace {

std::string Golden(const std::string& name) {
    Bytes b = ReadFileBytes(DataPath("cli/" + name));
    EXPECT_FALSE(b.empty()) << name;
    return std::string(b.begin(), b.end());
}

const char kRefusedEn[] =
    "Wrong command line parameters! \nTo see full command list run keymend.exe -help.\n\n";
const char kRefusedRu[] =
    "Неправильные параметры командной строки. \n"
    "Для отображения полного списка команд запустите keymend.exe -help.\n\n";

TEST(Run, HelpPrintsTheManualByteForByte) {
    RunResult en = RunKeymend({"-help"});
    EXPECT_EQ(en.exitCode, 0);
    EXPECT_EQ(en.out, Golden("help_en.txt"));
    // The Russian locale need not be installed: the texts then come out in UTF-8.
    RunResult ru = RunKeymend({"-help"}, {"LANG=ru_RU.UTF-8"});
    EXPECT_EQ(ru.exitCode, 0);
    EXPECT_EQ(ru.out, Golden("help_ru.txt"));
    RunResult ignored = RunKeymend({"-help", "-contfolder", "x", "-noKVKM"}, {"LC_MESSAGES=ru_RU"});
    EXPECT_EQ(ignored.exitCode, 0);
    EXPECT_EQ(ignored.out, Golden("help_ru.txt"));
    // LC_ALL overrides LANG.
    RunResult c = RunKeymend({"-help"}, {"LC_ALL=C.UTF-8", "LANG=ru_RU.UTF-8"});
    EXPECT_EQ(c.out, Golden("help_en.txt"));
}

TEST(Run, RefusedLinePrintsOnlyTheWrongLineMessage) {
    const std::vector<std::vector<std::string>> lines = {
        {},
        {"-help", "bogus"},
        {"-kvpublic"},
        {"-kvpublic", "-contfolder"},
        {"-kvpublic", "-contfolder", "c", "-passkv", "\xC3"}};
    for (const auto& args : lines) {
        RunResult r = RunKeymend(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, kRefusedEn);
    }
    RunResult ru = RunKeymend({"-HELP"}, {"LANG=ru_RU.UTF-8"});
    EXPECT_EQ(ru.exitCode, 0);
    EXPECT_EQ(ru.out, kRefusedRu);
}

TEST(Run, FailedCommandEndsWithTheFailureMessage) {
    TempDir dir;
    RunResult r = RunKeymend({"-kvpublic", "-contfolder", dir / "missing"});
    EXPECT_EQ(r.exitCode, 1);
    const std::string closing = "Failed while executing.\n";
    ASSERT_GE(r.out.size(), closing.size());
    EXPECT_EQ(r.out.substr(r.out.size() - closing.size()), closing);
    EXPECT_EQ(r.out.find("Successfully"), std::string::npos);
}

}  // namespace
}  // namespace keymend::test

// -version from the built binary: the version that CMakeLists.txt declares and the platform.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace keymend {
namespace {

std::string DeclaredVersion() {
    std::ifstream file(std::string(KEYMEND_SOURCE_DIR) + "/CMakeLists.txt");
    std::stringstream text;
    text << file.rdbuf();
    std::smatch match;
    const std::string s = text.str();
    if (!std::regex_search(s, match, std::regex(R"(project\(keymend\s+VERSION\s+([0-9.]+))"))) {
        return "no version in CMakeLists.txt";
    }
    return match[1];
}

TEST(Version, PrintsTheDeclaredVersionAndPlatform) {
    // The tests run the native build, whose processor is the kernel's machine name.
    utsname machine{};
    ASSERT_EQ(uname(&machine), 0);
    const std::string expected =
        "keymend " + DeclaredVersion() + " (Linux " + machine.machine + ")\n";
    // Options it does not read are ignored, and the line is the same in every language.
    for (const auto& [args, env] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-version"}, "LANG=C"},
             {{"-contfolder", "x", "-version", "-noKVKM"}, "LANG=ru_RU.UTF-8"}}) {
        const test::RunResult run = test::RunKeymend(args, {env});
        EXPECT_EQ(run.exitCode, 0) << env;
        EXPECT_EQ(run.out, expected) << env;
        EXPECT_EQ(run.err, "") << env;
    }
}

}  // namespace
}  // namespace keymend

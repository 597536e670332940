// -version from the built binary: the version that CMakeLists.txt declares and the platform.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <fstream>
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
    const std::string s = text.str();
    const std::string key = "project(keymend VERSION ";
    const size_t start = s.find(key);
    if (start == std::string::npos) return "no version in CMakeLists.txt";
    const size_t from = start + key.size();
    return s.substr(from, s.find_first_not_of("0123456789.", from) - from);
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

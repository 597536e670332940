// Path composition with the platform separator.
#include <gtest/gtest.h>

#include "platform/paths.h"

namespace keymend {
namespace {

TEST(Paths, FoldersLoseTrailingSeparatorsButRootsStay) {
    const struct {
        const char* folder;
        const char* normalized;
        const char* joined;
    } cases[] = {
        {"r/c.000", "r/c.000", "r/c.000/name.key"},
        {"r/c.000///", "r/c.000", "r/c.000/name.key"},
        {"/", "/", "/name.key"},
        {"//", "/", "/name.key"},
        {".", ".", "./name.key"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NormalizeFolderPath(c.folder), c.normalized) << c.folder;
        EXPECT_EQ(JoinPath(c.folder, "name.key"), c.joined) << c.folder;
    }
    EXPECT_EQ(NormalizeFolderPath(nullptr), "");
    EXPECT_EQ(PathSeparator(), '/');
    EXPECT_TRUE(IsPathSeparator('/'));
    EXPECT_FALSE(IsPathSeparator('\\'));  // an ordinary name character here
}

}  // namespace
}  // namespace keymend

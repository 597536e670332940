// Path composition with the platform separator.
#include "platform/paths.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace keymend {
namespace {

TEST(Paths, FoldersLoseTrailingSeparatorsButRootsStay) {
    for (const auto& r :
         test::LoadVectors("platform/paths.vec", {"Folder", "Normalized", "Joined"})) {
        const char* folder = r.Has("Folder") ? r.Get("Folder").c_str() : nullptr;
        SCOPED_TRACE(folder ? folder : "(null)");
        EXPECT_EQ(NormalizeFolderPath(folder), r.Get("Normalized"));
        if (folder) {
            EXPECT_EQ(JoinPath(folder, "name.key"), r.Get("Joined"));
        }
    }
    EXPECT_EQ(PathSeparator(), '/');
    EXPECT_TRUE(IsPathSeparator('/'));
    EXPECT_FALSE(IsPathSeparator('\\'));
}

}  // namespace
}  // namespace keymend

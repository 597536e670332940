// Replays the stored fuzz corpus through the fuzz target's checks.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace keymend::fuzz {
int DerFuzzOne(const uint8_t* data, size_t size);
}

namespace keymend {
namespace {

TEST(DerFuzzCorpus, ReplaysEverySeed) {
    const std::filesystem::path dir = std::filesystem::path(KEYMEND_SOURCE_DIR) / "fuzz/corpus/der";
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const test::Bytes input = test::ReadFileBytes(entry.path().string());
        EXPECT_EQ(fuzz::DerFuzzOne(input.data(), input.size()), 0);
        ++seeds;
    }
    EXPECT_GE(seeds, 10u);
}

}  // namespace
}  // namespace keymend

// Replays the stored corpus of every fuzz target (fuzz/corpus/<name>/) through its checks, so a
// seed that once crashed stays fixed. The DER target has its own replay in tests/asn1.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace keymend::fuzz {
int CommandLineFuzzOne(const uint8_t* data, size_t size);
int ContainerRecordsFuzzOne(const uint8_t* data, size_t size);
int ContainerFolderFuzzOne(const uint8_t* data, size_t size);
int Pkcs12FuzzOne(const uint8_t* data, size_t size);
int CertificateFileFuzzOne(const uint8_t* data, size_t size);
}  // namespace keymend::fuzz

namespace keymend {
namespace {

struct FuzzTarget {
    const char* corpus;
    int (*run)(const uint8_t* data, size_t size);
    size_t minimumSeeds;
};

std::string TargetName(const testing::TestParamInfo<FuzzTarget>& target) {
    return target.param.corpus;
}

class FuzzCorpus : public testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpus, ReplaysEverySeed) {
    const std::filesystem::path dir =
        std::filesystem::path(KEYMEND_SOURCE_DIR) / "fuzz/corpus" / GetParam().corpus;
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().filename().string());
        const test::Bytes input = test::ReadFileBytes(entry.path().string());
        EXPECT_EQ(GetParam().run(input.data(), input.size()), 0);
        ++seeds;
    }
    EXPECT_GE(seeds, GetParam().minimumSeeds);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzCorpus,
    testing::Values(FuzzTarget{"command_line", fuzz::CommandLineFuzzOne, 8},
                    FuzzTarget{"container_records", fuzz::ContainerRecordsFuzzOne, 8},
                    FuzzTarget{"container_folder", fuzz::ContainerFolderFuzzOne, 8},
                    FuzzTarget{"pkcs12", fuzz::Pkcs12FuzzOne, 20},
                    FuzzTarget{"certificate_file", fuzz::CertificateFileFuzzOne, 8}),
    TargetName);

}  // namespace
}  // namespace keymend

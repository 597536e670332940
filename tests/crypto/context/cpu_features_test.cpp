#include "crypto/context/cpu_features.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace keymend {
namespace {

// Every feature reported is one the kernel reports too (it lists only what it enables), and a
// limit removes features without adding any.
TEST(CpuFeatures, AgreeWithTheKernelAndHonourLimits) {
    const uint32_t all = CpuFeatures();
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::set<std::string> kernel;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string word; words >> word;) kernel.insert(word);
        break;
    }
    if (kernel.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags on this system";
    // Kernel names where they differ from ours.
    const std::map<std::string, std::string> kernelName = {
        {"sse4.1", "sse4_1"}, {"pclmul", "pclmulqdq"}, {"sha", "sha_ni"},
        {"avx512vbmi2", "avx512_vbmi2"}};
    std::istringstream ours(CpuFeatureNames(all));
    for (std::string name; ours >> name;) {
        const auto renamed = kernelName.find(name);
        const std::string expected = renamed == kernelName.end() ? name : renamed->second;
        EXPECT_TRUE(kernel.count(expected)) << name << " reported but not in /proc/cpuinfo";
    }
    std::cout << "CPU features: " << CpuFeatureNames(all) << "\n";

    LimitCpuFeatures(kCpuAvx2 | kCpuSha);
    EXPECT_EQ(CpuFeatures(), all & (kCpuAvx2 | kCpuSha));
    LimitCpuFeatures(0);
    EXPECT_EQ(CpuFeatures(), 0u);
    EXPECT_FALSE(CpuHas(kCpuSsse3));
    LimitCpuFeatures(~0u);
    EXPECT_EQ(CpuFeatures(), all);
}

}  // namespace
}  // namespace keymend

// Processor features that select faster variants of the primitives at run time.
//
// Detected once per process with cpuid and, for the vector register files, the operating system's
// saved-state mask (xgetbv): an instruction set counts as present only when the OS preserves the
// registers it uses. Every variant that needs a feature has a portable twin giving identical
// results; callers ask CpuHas() before taking the fast path. Outside x86 nothing is reported.
#pragma once

#include <cstdint>
#include <string>

namespace keymend {

enum CpuFeature : uint32_t {
    kCpuSsse3 = 1u << 0,
    kCpuSse41 = 1u << 1,
    kCpuPclmul = 1u << 2,
    kCpuAesNi = 1u << 3,
    kCpuAvx = 1u << 4,
    kCpuAvx2 = 1u << 5,
    kCpuBmi2 = 1u << 6,
    kCpuSha = 1u << 7,
    kCpuAvx512F = 1u << 8,
    kCpuAvx512BW = 1u << 9,
    kCpuAvx512VL = 1u << 10,
    kCpuAvx512DQ = 1u << 11,
    kCpuAvx512Vbmi = 1u << 12,
    kCpuAvx512Vbmi2 = 1u << 13,
    kCpuGfni = 1u << 14,
    kCpuVaes = 1u << 15,
};

// The features of this processor that the OS supports, as a set of CpuFeature bits, limited by
// the mask of LimitCpuFeatures.
uint32_t CpuFeatures();
// True when every feature in `features` is present.
inline bool CpuHas(uint32_t features) { return (CpuFeatures() & features) == features; }

// Restricts CpuFeatures() to `allowed` (all bits: no restriction). Tests use it to force the
// portable paths; benchmarks to measure both. Not for concurrent use with running primitives.
void LimitCpuFeatures(uint32_t allowed);

// Space-separated lower-case names of the features in `features` ("avx2 sha gfni"), for reports.
std::string CpuFeatureNames(uint32_t features);

}  // namespace keymend

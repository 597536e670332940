#include "crypto/context/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace keymend {

namespace {

#if defined(__x86_64__) || defined(__i386__)
// XCR0: the register states the OS saves and restores on a context switch.
uint64_t ReadXcr0() {
    uint32_t eax, edx;
    __asm__ __volatile__("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<uint64_t>(edx) << 32) | eax;
}

uint32_t Detect() {
    uint32_t eax, ebx, ecx, edx;
    if (__get_cpuid_max(0, nullptr) < 1) return 0;
    __cpuid(1, eax, ebx, ecx, edx);
    uint32_t found = 0;
    if (ecx & bit_SSSE3) found |= kCpuSsse3;
    if (ecx & bit_SSE4_1) found |= kCpuSse41;
    if (ecx & bit_PCLMUL) found |= kCpuPclmul;
    if (ecx & bit_AES) found |= kCpuAesNi;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const uint64_t xcr0 = osxsave ? ReadXcr0() : 0;
    const bool ymm = osxsave && (ecx & bit_AVX) && (xcr0 & 0x6) == 0x6;       // SSE and AVX state
    const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;                           // opmask, ZMM0-31
    if (ymm) found |= kCpuAvx;

    if (__get_cpuid_max(0, nullptr) < 7) return found;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (ebx & bit_SHA) found |= kCpuSha;
    if (ebx & bit_BMI2) found |= kCpuBmi2;
    if (ymm && (ebx & bit_AVX2)) found |= kCpuAvx2;
    if (ymm && (ecx & bit_VAES)) found |= kCpuVaes;
    // GFNI's SSE forms need no extra state; its vector forms are used only with AVX or AVX-512,
    // whose own bits are checked by the callers.
    if (ecx & bit_GFNI) found |= kCpuGfni;
    if (zmm && (ebx & bit_AVX512F)) {
        found |= kCpuAvx512F;
        if (ebx & bit_AVX512BW) found |= kCpuAvx512BW;
        if (ebx & bit_AVX512VL) found |= kCpuAvx512VL;
        if (ebx & bit_AVX512DQ) found |= kCpuAvx512DQ;
        if (ecx & bit_AVX512VBMI) found |= kCpuAvx512Vbmi;
        if (ecx & bit_AVX512VBMI2) found |= kCpuAvx512Vbmi2;
    }
    return found;
}
#else
uint32_t Detect() { return 0; }
#endif

uint32_t g_allowed = ~0u;

uint32_t Detected() {
    static const uint32_t detected = Detect();
    return detected;
}

}  // namespace

uint32_t CpuFeatures() { return Detected() & g_allowed; }

void LimitCpuFeatures(uint32_t allowed) { g_allowed = allowed; }

std::string CpuFeatureNames(uint32_t features) {
    static constexpr struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {
        {kCpuSsse3, "ssse3"},       {kCpuSse41, "sse4.1"},          {kCpuPclmul, "pclmul"},
        {kCpuAesNi, "aes"},         {kCpuAvx, "avx"},               {kCpuAvx2, "avx2"},
        {kCpuBmi2, "bmi2"},         {kCpuSha, "sha"},               {kCpuAvx512F, "avx512f"},
        {kCpuAvx512BW, "avx512bw"}, {kCpuAvx512VL, "avx512vl"},     {kCpuAvx512DQ, "avx512dq"},
        {kCpuAvx512Vbmi, "avx512vbmi"}, {kCpuAvx512Vbmi2, "avx512vbmi2"}, {kCpuGfni, "gfni"},
        {kCpuVaes, "vaes"},
    };
    std::string out;
    for (const auto& entry : kNames) {
        if ((features & entry.bit) == 0) continue;
        if (!out.empty()) out += ' ';
        out += entry.name;
    }
    return out;
}

}  // namespace keymend

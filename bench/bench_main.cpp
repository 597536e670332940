// Benchmark entry. Each primitive's file measures keymend beside OpenSSL's GOST provider.
#include <benchmark/benchmark.h>

#include "crypto/context/cpu_features.h"
#include "crypto/context/crypto_context.h"

int main(int argc, char** argv) {
    keymend::CryptoContextInit(1);
    // The processor features the fast paths may use on this machine, for the report.
    benchmark::AddCustomContext("cpu_features", keymend::CpuFeatureNames(keymend::CpuFeatures()));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    keymend::CryptoContextRelease();
    return 0;
}

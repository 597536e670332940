// Benchmark entry. Each primitive's file measures keymend beside OpenSSL's GOST provider.
#include <benchmark/benchmark.h>

#include "crypto/context/crypto_context.h"

int main(int argc, char** argv) {
    keymend::CryptoContextInit(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    keymend::CryptoContextRelease();
    return 0;
}

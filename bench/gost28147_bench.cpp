// GOST 28147-89 throughput on 16 KiB buffers (CFB with key meshing, ECB, MAC), each beside the
// same work in OpenSSL's GOST provider, both timed (thread CPU time) in every iteration.
// Counters: keymend and OpenSSL MB/s, and vs_openssl = OpenSSL time / keymend time (above 1:
// keymend is faster).
// OpenSSL has no GOST 28147-89 ECB; its CBC decryption (one block decryption per block) stands in.
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

#include "crypto/gost28147/gost28147.h"

namespace {

// Thread CPU time: the machine may be shared, and wall time would count other processes.
std::chrono::nanoseconds CpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

constexpr size_t kBufferSize = 16 * 1024;
constexpr const char* kOid = "1.2.643.2.2.31.1";  // OpenSSL's default GOST 28147-89 S-box
const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kIv[8] = {8, 7, 6, 5, 4, 3, 2, 1};

bool LoadGostProvider() {
    static const bool loaded = OSSL_PROVIDER_load(nullptr, "default") != nullptr &&
                               OSSL_PROVIDER_load(nullptr, "gostprov") != nullptr;
    return loaded;
}

// Times `ours` as the benchmark body and `theirs` beside it in every iteration, then reports
// both throughputs and their ratio.
void RunPair(benchmark::State& state, const std::function<bool()>& ours,
             const std::function<bool()>& theirs) {
    if (!LoadGostProvider()) {
        state.SkipWithError("OpenSSL GOST provider not available");
        return;
    }
    std::chrono::nanoseconds oursTime{}, theirsTime{};
    for (auto _ : state) {
        auto t0 = CpuNow();
        bool oursOk = ours();
        auto t1 = CpuNow();
        state.PauseTiming();
        auto t2 = CpuNow();
        bool theirsOk = theirs();
        theirsTime += CpuNow() - t2;
        oursTime += t1 - t0;
        if (!oursOk || !theirsOk) {
            ERR_print_errors_fp(stderr);
            state.SkipWithError(oursOk ? "OpenSSL operation failed" : "keymend operation failed");
            break;
        }
        state.ResumeTiming();
    }
    if (oursTime.count() == 0 || theirsTime.count() == 0) return;
    double n = static_cast<double>(state.iterations()) * kBufferSize / 1e6;
    double ourSeconds = std::chrono::duration<double>(oursTime).count();
    double theirSeconds = std::chrono::duration<double>(theirsTime).count();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
    state.counters["keymend_MBps"] = n / ourSeconds;
    state.counters["openssl_MBps"] = n / theirSeconds;
    state.counters["vs_openssl"] = theirSeconds / ourSeconds;
}

// Fetched once, as a long-running caller would; a fresh initialisation per buffer, like ours.
EVP_CIPHER* FetchCipher(const char* name) {
    return EVP_CIPHER_fetch(nullptr, name, nullptr);
}

bool OpenSslCipher(EVP_CIPHER* cipher, bool encrypt, std::vector<uint8_t>& data) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int outLength = 0;
    bool ok = ctx != nullptr && cipher != nullptr &&
              EVP_CipherInit_ex2(ctx, cipher, kKey, kIv, encrypt ? 1 : 0, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, data.data(), &outLength, data.data(),
                               static_cast<int>(data.size())) == 1 &&
              static_cast<size_t>(outLength) == data.size();
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool OpenSslMac(const std::vector<uint8_t>& data, uint8_t* out) {
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "gost-mac", nullptr);
    if (mac == nullptr) return false;
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    size_t outLength = 0;
    bool ok = ctx != nullptr && EVP_MAC_init(ctx, kKey, sizeof(kKey), nullptr) == 1 &&
              EVP_MAC_update(ctx, data.data(), data.size()) == 1 &&
              EVP_MAC_final(ctx, out, &outLength, 8) == 1;
    EVP_MAC_CTX_free(ctx);
    return ok;
}

void CfbMeshed(benchmark::State& state, bool decrypt) {
    std::vector<uint8_t> ours(kBufferSize, 0x5A), theirs(kBufferSize, 0x5A);
    RunPair(
        state,
        [&] {
            return keymend::Gost28147Crypt(
                ours.data(), ours.size(),
                decrypt ? keymend::CipherDirection::kDecrypt : keymend::CipherDirection::kEncrypt,
                keymend::kGost28147Cfb, kKey, sizeof(kKey), kOid, kIv);
        },
        [&] {
            static EVP_CIPHER* cipher = FetchCipher("gost89");
            return OpenSslCipher(cipher, !decrypt, theirs);
        });
}

void BM_Gost28147CfbMeshedEncrypt(benchmark::State& state) { CfbMeshed(state, false); }
void BM_Gost28147CfbMeshedDecrypt(benchmark::State& state) { CfbMeshed(state, true); }

void Ecb(benchmark::State& state, bool decrypt) {
    std::vector<uint8_t> ours(kBufferSize, 0x5A), theirs(kBufferSize, 0x5A);
    RunPair(
        state,
        [&] {
            return keymend::Gost28147Crypt(
                ours.data(), ours.size(),
                decrypt ? keymend::CipherDirection::kDecrypt : keymend::CipherDirection::kEncrypt,
                keymend::kGost28147Ecb, kKey, sizeof(kKey), kOid, nullptr);
        },
        [&] {
            static EVP_CIPHER* cipher = FetchCipher("gost89-cbc");
            return OpenSslCipher(cipher, false, theirs);
        });
}

void BM_Gost28147EcbEncrypt(benchmark::State& state) { Ecb(state, false); }
void BM_Gost28147EcbDecrypt(benchmark::State& state) { Ecb(state, true); }

void BM_Gost28147Mac(benchmark::State& state) {
    std::vector<uint8_t> data(kBufferSize, 0x5A);
    uint8_t ours[4], theirs[8];
    const uint8_t zeroIv[8] = {};
    RunPair(
        state,
        [&] {
            bool ok = keymend::Gost28147Mac(data.data(), data.size(), ours, kKey, sizeof(kKey),
                                            kOid, zeroIv);
            benchmark::DoNotOptimize(ours);
            return ok;
        },
        [&] { return OpenSslMac(data, theirs); });
}

BENCHMARK(BM_Gost28147CfbMeshedEncrypt);
BENCHMARK(BM_Gost28147CfbMeshedDecrypt);
BENCHMARK(BM_Gost28147EcbEncrypt);
BENCHMARK(BM_Gost28147EcbDecrypt);
BENCHMARK(BM_Gost28147Mac);

}  // namespace

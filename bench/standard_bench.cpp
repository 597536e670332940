// SHA-1 and SHA-256 on 16 KiB (with the processor's SHA extensions where present, and forced
// portable), AES-256-CBC decryption of 16 KiB (AES instructions and bitsliced), PBKDF2-HMAC-SHA-256
// and the PKCS#12 MAC-key derivation with SHA-256, each beside the same work in OpenSSL's default
// provider. Every iteration times keymend and then OpenSSL; the counters give the median time of
// each and ratio = OpenSSL time / keymend time (above 1: keymend is faster).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "crypto/aes/aes.h"
#include "crypto/context/cpu_features.h"
#include "crypto/sha/sha.h"
#include "pkcs12/pkcs12_kdf.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Times ours and theirs alternately, ours with the processor features limited to `allowed`;
// reports keymend's time to the framework.
template <typename Ours, typename Theirs>
void Paired(benchmark::State& state, uint32_t allowed, size_t bytes, Ours ours, Theirs theirs) {
    std::vector<double> a, b;
    for (auto _ : state) {
        keymend::LimitCpuFeatures(allowed);
        auto t0 = Clock::now();
        ours();
        auto t1 = Clock::now();
        keymend::LimitCpuFeatures(~0u);
        theirs();
        auto t2 = Clock::now();
        const double da = std::chrono::duration<double>(t1 - t0).count();
        a.push_back(da);
        b.push_back(std::chrono::duration<double>(t2 - t1).count());
        state.SetIterationTime(da);
    }
    const double ma = Median(a), mb = Median(b);
    state.counters["keymend_us"] = ma * 1e6;
    state.counters["openssl_us"] = mb * 1e6;
    state.counters["ratio"] = mb / ma;
    if (bytes != 0) {
        state.counters["keymend_MBps"] = static_cast<double>(bytes) / ma / 1e6;
        state.counters["openssl_MBps"] = static_cast<double>(bytes) / mb / 1e6;
    }
}

constexpr uint32_t kPortable = 0;
constexpr uint32_t kFast = ~0u;

void BM_Sha(benchmark::State& state, keymend::ShaAlgorithm algorithm, const char* osslName,
            uint32_t allowed) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(n, 0x5A);
    uint8_t out[64], ref[64];
    EVP_MD* md = EVP_MD_fetch(nullptr, osslName, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Paired(
        state, allowed, n,
        [&] {
            keymend::ShaHash(algorithm, data.data(), n, out);
            benchmark::DoNotOptimize(out);
        },
        [&] {
            unsigned length = 0;
            EVP_DigestInit_ex2(ctx, md, nullptr);
            EVP_DigestUpdate(ctx, data.data(), n);
            EVP_DigestFinal_ex(ctx, ref, &length);
            benchmark::DoNotOptimize(ref);
        });
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

void BM_AesCbcDecrypt(benchmark::State& state, uint32_t allowed) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(n, 0xA5), out(n), ref(n);
    uint8_t keyBytes[32], iv[16];
    for (int i = 0; i < 32; ++i) keyBytes[i] = static_cast<uint8_t>(i * 7);
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(i);
    keymend::AesKey key;
    keymend::AesSetKey(key, keyBytes, sizeof keyBytes);
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Paired(
        state, allowed, n,
        [&] {
            keymend::AesCbcDecrypt(key, iv, data.data(), out.data(), n);
            benchmark::DoNotOptimize(out.data());
        },
        [&] {
            int length = 0;
            EVP_DecryptInit_ex2(ctx, cipher, keyBytes, iv, nullptr);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            EVP_DecryptUpdate(ctx, ref.data(), &length, data.data(), static_cast<int>(n));
            benchmark::DoNotOptimize(ref.data());
        });
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}

const char kPassword[] = "correct horse battery";
const uint8_t kSalt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr int kIterations = 2048;  // OpenSSL's default for PKCS#12 files

void BM_Pbkdf2Sha256(benchmark::State& state, uint32_t allowed) {
    uint8_t out[32], ref[32];
    Paired(
        state, allowed, 0,
        [&] {
            keymend::ShaPbkdf2(keymend::ShaAlgorithm::kSha256,
                               reinterpret_cast<const uint8_t*>(kPassword), sizeof kPassword - 1,
                               kSalt, sizeof kSalt, kIterations, out, sizeof out);
            benchmark::DoNotOptimize(out);
        },
        [&] {
            PKCS5_PBKDF2_HMAC(kPassword, sizeof kPassword - 1, kSalt, sizeof kSalt, kIterations,
                              EVP_sha256(), sizeof ref, ref);
            benchmark::DoNotOptimize(ref);
        });
}

void BM_Pkcs12MacKeySha256(benchmark::State& state, uint32_t allowed) {
    uint8_t out[32], ref[32];
    Paired(
        state, allowed, 0,
        [&] {
            keymend::SecureBlob password;
            keymend::Pkcs12PasswordFromUtf8(reinterpret_cast<const uint8_t*>(kPassword),
                                            sizeof kPassword - 1, password);
            keymend::Pkcs12DeriveKey(keymend::ShaAlgorithm::kSha256, password.data(),
                                     password.size(), kSalt, sizeof kSalt, keymend::kPkcs12IdMac,
                                     kIterations, out, sizeof out);
            benchmark::DoNotOptimize(out);
        },
        [&] {
            PKCS12_key_gen_utf8(kPassword, sizeof kPassword - 1, const_cast<uint8_t*>(kSalt),
                                sizeof kSalt, PKCS12_MAC_ID, kIterations, sizeof ref, ref,
                                EVP_sha256());
            benchmark::DoNotOptimize(ref);
        });
}

using keymend::ShaAlgorithm;
BENCHMARK_CAPTURE(BM_Sha, Sha256, ShaAlgorithm::kSha256, "SHA256", kFast)
    ->Arg(16384)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_Sha, Sha256Portable, ShaAlgorithm::kSha256, "SHA256", kPortable)
    ->Arg(16384)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_Sha, Sha1, ShaAlgorithm::kSha1, "SHA1", kFast)->Arg(16384)->UseManualTime();
BENCHMARK_CAPTURE(BM_Sha, Sha1Portable, ShaAlgorithm::kSha1, "SHA1", kPortable)
    ->Arg(16384)
    ->UseManualTime();
BENCHMARK_CAPTURE(BM_AesCbcDecrypt, Aes256, kFast)->Arg(16384)->UseManualTime();
BENCHMARK_CAPTURE(BM_AesCbcDecrypt, Aes256Portable, kPortable)->Arg(16384)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pbkdf2Sha256, Iter2048, kFast)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pbkdf2Sha256, Iter2048Portable, kPortable)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pkcs12MacKeySha256, Iter2048, kFast)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

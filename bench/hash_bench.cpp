// Hash, HMAC and PBKDF2 speed beside OpenSSL's GOST provider. Each iteration runs the keymend
// operation and then the same operation in OpenSSL, so both see the same machine load; the
// counters give the median time of each and ratio = OpenSSL time / keymend time (above 1: keymend
// is faster).
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/provider.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "crypto/hash/hash.h"

namespace {

using Clock = std::chrono::steady_clock;

OSSL_LIB_CTX* GostLibCtx() {
    static OSSL_LIB_CTX* ctx = [] {
        OSSL_LIB_CTX* c = OSSL_LIB_CTX_new();
        if (c == nullptr || OSSL_PROVIDER_load(c, "default") == nullptr ||
            OSSL_PROVIDER_load(c, "gostprov") == nullptr) {
            return static_cast<OSSL_LIB_CTX*>(nullptr);
        }
        return c;
    }();
    return ctx;
}

double Median(std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Times ours and theirs alternately; reports keymend's time to the framework.
template <typename Ours, typename Theirs>
void Paired(benchmark::State& state, size_t bytes, Ours ours, Theirs theirs) {
    if (GostLibCtx() == nullptr) {
        state.SkipWithError("OpenSSL GOST provider missing");
        return;
    }
    std::vector<double> a, b;
    for (auto _ : state) {
        auto t0 = Clock::now();
        ours();
        auto t1 = Clock::now();
        theirs();
        auto t2 = Clock::now();
        double da = std::chrono::duration<double>(t1 - t0).count();
        a.push_back(da);
        b.push_back(std::chrono::duration<double>(t2 - t1).count());
        state.SetIterationTime(da);
    }
    double ma = Median(a), mb = Median(b);
    state.counters["keymend_us"] = ma * 1e6;
    state.counters["openssl_us"] = mb * 1e6;
    state.counters["ratio"] = mb / ma;
    if (bytes >= 4096) {
        state.counters["keymend_MBps"] = static_cast<double>(bytes) / ma / 1e6;
        state.counters["openssl_MBps"] = static_cast<double>(bytes) / mb / 1e6;
    }
}

// An OpenSSL digest context reused across iterations, as a caller hashing many messages would.
struct OsslDigest {
    EVP_MD* md = nullptr;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    explicit OsslDigest(const char* name) {
        if (GostLibCtx() != nullptr) md = EVP_MD_fetch(GostLibCtx(), name, nullptr);
    }
    ~OsslDigest() {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
    void Run(const uint8_t* data, size_t n, uint8_t* out) {
        unsigned len = 0;
        EVP_DigestInit_ex2(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data, n);
        EVP_DigestFinal_ex(ctx, out, &len);
    }
};

void BM_HashById(benchmark::State& state, uint32_t id, const char* osslName) {
    size_t n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(n, 0x5A);
    uint8_t out[64], ref[64];
    size_t outLength = id == keymend::kAlgStreebog512 ? 64 : 32;
    OsslDigest ossl(osslName);
    Paired(
        state, n,
        [&] {
            keymend::HashById(data.data(), n, out, outLength, id);
            benchmark::DoNotOptimize(out);
        },
        [&] {
            ossl.Run(data.data(), n, ref);
            benchmark::DoNotOptimize(ref);
        });
}

void BM_Pbkdf2Block(benchmark::State& state, uint32_t prf, const char* osslName) {
    const char password[] = "correct horse battery";
    const uint8_t salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint64_t iterations = 2000;
    uint8_t out[32], ref[32];
    EVP_KDF* kdf = GostLibCtx() ? EVP_KDF_fetch(GostLibCtx(), "PBKDF2", nullptr) : nullptr;
    EVP_KDF_CTX* kctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    int pkcs5 = 1;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(password),
                                          sizeof password - 1),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt),
                                          sizeof salt),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(osslName), 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5), OSSL_PARAM_construct_end()};
    Paired(
        state, 0,
        [&] {
            keymend::Pbkdf2Block(out, 32, prf, password, salt, sizeof salt, iterations, 1);
            benchmark::DoNotOptimize(out);
        },
        [&] {
            EVP_KDF_derive(kctx, ref, sizeof ref, params);
            benchmark::DoNotOptimize(ref);
        });
    EVP_KDF_CTX_free(kctx);
    EVP_KDF_free(kdf);
}

BENCHMARK_CAPTURE(BM_HashById, Streebog512, keymend::kAlgStreebog512, "md_gost12_512")
    ->Arg(16384)->Arg(64)->Arg(128)->Arg(192)->UseManualTime();
BENCHMARK_CAPTURE(BM_HashById, Streebog256, keymend::kAlgStreebog256, "md_gost12_256")
    ->Arg(16384)->Arg(64)->Arg(128)->Arg(192)->UseManualTime();
BENCHMARK_CAPTURE(BM_HashById, GostR341194, keymend::kAlgGostR341194, "md_gost94")
    ->Arg(16384)->Arg(64)->UseManualTime();
BENCHMARK_CAPTURE(BM_Pbkdf2Block, Streebog512_2000, keymend::kPrfStreebog512, "md_gost12_512")
    ->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pbkdf2Block, GostR341194_2000, keymend::kPrfGostR341194, "md_gost94")
    ->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

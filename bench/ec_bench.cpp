// PublicKeyFromPrivate beside two EC_POINT_mul calls of OpenSSL on the curve built from the same
// parameters (EC_GROUP_new_curve_GFp), timed alternately in the same loop. Counters: microseconds
// per public key for each, and ratio = keymend / OpenSSL (below 1 is faster).
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/ec.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "crypto/ec/curve.h"
#include "crypto/ec/ec_internal.h"
#include "crypto/ec/keypair.h"
#include "crypto/ec/mp.h"

namespace {

using keymend::Digit;

BIGNUM* FromLittleEndian(const uint8_t* bytes, size_t n) { return BN_lebin2bn(bytes, static_cast<int>(n), nullptr); }

// The Weierstrass group of a parameter set, built from the curve object's values.
struct OpenSslCurve {
    EC_GROUP* group = nullptr;
    BN_CTX* ctx = nullptr;
    explicit OpenSslCurve(const char* oid) {
        keymend::EcCurve* c = keymend::CurveCreate(oid, keymend::CurveForm::kWeierstrass);
        if (c == nullptr) return;
        const size_t w = c->width;
        std::vector<uint8_t> a(w), x(w, 0);
        std::memcpy(a.data(), c->fullA, w);
        const keymend::EcPoint* g = c->basePoint;
        ctx = BN_CTX_new();
        BIGNUM* p = FromLittleEndian(c->p, w);
        BIGNUM* aa = FromLittleEndian(a.data(), w);
        BIGNUM* b = FromLittleEndian(c->b, w);
        BIGNUM* gx = FromLittleEndian(g->x, w);
        BIGNUM* gy = FromLittleEndian(g->y, w);
        BIGNUM* q = FromLittleEndian(c->q, w);
        BIGNUM* one = BN_new();
        BN_one(one);
        group = EC_GROUP_new_curve_GFp(p, aa, b, ctx);
        EC_POINT* gen = EC_POINT_new(group);
        EC_POINT_set_affine_coordinates(group, gen, gx, gy, ctx);
        EC_GROUP_set_generator(group, gen, q, one);
        EC_POINT_free(gen);
        for (BIGNUM* bn : {p, aa, b, gx, gy, q, one}) BN_free(bn);
        keymend::CurveDestroy(c);
    }
    ~OpenSslCurve() {
        EC_GROUP_free(group);
        BN_CTX_free(ctx);
    }
};

void PublicKeyVersusOpenSsl(benchmark::State& state, const char* oid) {
    const size_t w = keymend::CurveKeyLength(oid);
    OpenSslCurve ossl(oid);
    if (ossl.group == nullptr) {
        state.SkipWithError("curve set-up failed");
        return;
    }
    std::vector<uint8_t> key(w), mask(w), out(2 * w);
    for (size_t i = 0; i < w; ++i) {
        key[i] = static_cast<uint8_t>(0x5A ^ (i * 37));
        mask[i] = static_cast<uint8_t>(0xC3 ^ (i * 91));
    }
    key[w - 1] = 0x1F;  // below q
    mask[w - 1] = 0x2E;
    BIGNUM* k = FromLittleEndian(key.data(), w);
    BIGNUM* m = FromLittleEndian(mask.data(), w);
    EC_POINT* r1 = EC_POINT_new(ossl.group);
    EC_POINT* r2 = EC_POINT_new(ossl.group);
    using Clock = std::chrono::steady_clock;
    std::vector<double> ours, theirs;
    for (auto _ : state) {
        auto t0 = Clock::now();
        bool ok = keymend::PublicKeyFromPrivate(out.data(), key.data(), w, mask.data(), w, oid,
                                                keymend::MaskStep::kDivide);
        auto t1 = Clock::now();
        ok &= EC_POINT_mul(ossl.group, r1, k, nullptr, nullptr, ossl.ctx) == 1;
        ok &= EC_POINT_mul(ossl.group, r2, nullptr, r1, m, ossl.ctx) == 1;
        auto t2 = Clock::now();
        if (!ok) {
            state.SkipWithError("scalar multiplication failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        ours.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        theirs.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    if (!ours.empty()) {
        auto median = [](std::vector<double>& v) {
            std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
            return v[v.size() / 2];
        };
        double a = median(ours);
        double b = median(theirs);
        state.counters["keymend_us"] = a;
        state.counters["openssl_2mul_us"] = b;
        state.counters["ratio"] = a / b;
    }
    EC_POINT_free(r1);
    EC_POINT_free(r2);
    BN_free(k);
    BN_free(m);
}

}  // namespace

BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 256_set_A_kind2, "1.2.643.2.2.35.1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 256_set_B_kind1, "1.2.643.2.2.35.2")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 256_set_C_kind4, "1.2.643.2.2.35.3")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 256_tc26_A_edwards, "1.2.643.7.1.2.1.1.1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 512_tc26_A_kind2, "1.2.643.7.1.2.1.2.1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 512_tc26_B_kind1, "1.2.643.7.1.2.1.2.2")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PublicKeyVersusOpenSsl, 512_tc26_C_edwards, "1.2.643.7.1.2.1.2.3")->Unit(benchmark::kMicrosecond);

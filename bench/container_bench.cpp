// The container store: the password key derivation (2,000 iterations, no OpenSSL counterpart)
// and the whole public-key export of a container on disk (parameter-set trial, tolerant open,
// two public keys), in milliseconds.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "commands/public_export.h"
#include "container/container.h"
#include "container/protection.h"
#include "crypto/ec/key_mask.h"
#include "crypto/ec/keypair.h"

namespace {

using namespace keymend;

void DerivePasswordKeyBench(benchmark::State& state, uint32_t providerType) {
    const uint8_t salt[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t key[32];
    for (auto _ : state) {
        if (!DerivePasswordKey(key, u"password", salt, sizeof salt, providerType)) {
            state.SkipWithError("derivation failed");
        }
        benchmark::DoNotOptimize(key);
    }
}
BENCHMARK_CAPTURE(DerivePasswordKeyBench, gost94_type75, 75u)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DerivePasswordKeyBench, streebog_type80, 80u)->Unit(benchmark::kMillisecond);

constexpr const char* kCurve = "1.2.643.2.2.35.1";

// Places key number k (0 first, 1 second; a fixed private key) into both copies, masked as the
// import does, with its header properties.
bool PlaceKey(ContainerImage& image, int k) {
    KeyFileRecord* copies[2] = {&image.primary, &image.primary2};
    MaskFileRecord* masks[2] = {&image.masks, &image.masks2};
    for (int c = 0; c < 2; ++c) {
        SecureBlob& field = k == 0 ? copies[c]->firstKey : copies[c]->secondKey;
        if (!field.Allocate(32)) return false;
        for (int i = 0; i < 32; ++i) field[i] = static_cast<uint8_t>(i + 1 + 40 * k);
        const bool fresh = masks[c]->mask.empty();
        if ((fresh && !masks[c]->mask.Allocate(32)) ||
            !ApplyMask(field.data(), 32, masks[c]->mask.data(), 32, kCurve, MaskStep::kMultiply,
                       fresh ? MaskDraw::kFresh : MaskDraw::kGiven)) {
            return false;
        }
    }
    KeyProperties& props = k == 0 ? image.header.firstKey : image.header.secondKey;
    const SecureBlob& key = k == 0 ? image.primary.firstKey : image.primary.secondKey;
    return props.publicKeyCheck.Allocate(8) &&
           PublicKeyCheckValue(props.publicKeyCheck.data(), key.data(), 32, image.masks.mask.data(),
                               32, kCurve, MaskStep::kDivide) &&
           props.algorithm.Set(k == 0 ? "1.2.643.7.1.1.1.1" : "1.2.643.7.1.1.6.1") &&
           props.publicKeyParamSet.Set(kCurve) && props.digestParamSet.Set("1.2.643.7.1.1.2.2");
}

// A two-key container with a password, created in `reader`; its folder, or "".
std::string BuildContainer(const std::string& reader) {
    std::string folder;
    ContainerImagePtr image = CreateContainerImage();
    if (!image || !PlaceKey(*image, 0) ||
        !WriteContainer(*image, reader.c_str(), u"password", "bench", WriteMode::kNew, &folder)) {
        return "";
    }
    image = OpenContainerStrict(folder.c_str(), u"password");
    if (!image || !PlaceKey(*image, 1) ||
        !WriteContainer(*image, folder.c_str(), u"password", "bench", WriteMode::kRewrite)) {
        return "";
    }
    return folder;
}

void PublicExportBench(benchmark::State& state) {
    std::string templ = (std::filesystem::temp_directory_path() / "keymend-bench-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string folder = BuildContainer(templ);
    if (folder.empty()) state.SkipWithError("cannot build the container");
    for (auto _ : state) {
        SecureBlob primary, secondary;
        if (!ExportPublicKeys(folder.c_str(), u"password", "", "", 0, primary, secondary) ||
            secondary.empty()) {
            state.SkipWithError("export failed");
            break;
        }
    }
    std::filesystem::remove_all(templ);
}
BENCHMARK(PublicExportBench)->Unit(benchmark::kMillisecond);

}  // namespace

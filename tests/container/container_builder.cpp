#include "container/container_builder.h"

#include <gtest/gtest.h>

#include "container/protection.h"
#include "crypto/ec/key_mask.h"
#include "crypto/ec/keypair.h"

namespace keymend::test {

namespace {

// By provider type 75, 80, 81: signature algorithm, key-agreement algorithm, digest set.
const char* const kOids[3][3] = {
    {"1.2.643.2.2.19", "1.2.643.2.2.98", "1.2.643.2.2.30.1"},
    {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.6.1", "1.2.643.7.1.1.2.2"},
    {"1.2.643.7.1.1.1.2", "1.2.643.7.1.1.6.2", "1.2.643.7.1.1.2.3"},
};

const char* const* OidsOf(uint32_t providerType) {
    return kOids[providerType == 75 ? 0 : providerType == 80 ? 1 : 2];
}

// k = d * mask mod q, under a fresh mask unless `mask` already holds one; and the key's
// properties as the PKCS#12 reader leaves them.
bool Place(const TestKey& key, SecureBlob& mask, SecureBlob& masked) {
    const uint32_t n = static_cast<uint32_t>(key.d.size());
    const bool fresh = mask.empty();
    if (fresh && !mask.Allocate(n)) return false;
    return masked.Assign(key.d.data(), n) &&
           ApplyMask(masked.data(), n, mask.data(), n, key.curve.c_str(), MaskStep::kMultiply,
                     fresh ? MaskDraw::kFresh : MaskDraw::kGiven);
}

bool Describe(KeyProperties& props, const TestKey& key, const char* algorithm) {
    return props.algorithm.Set(algorithm) && props.publicKeyParamSet.Set(key.curve.c_str()) &&
           props.digestParamSet.Set(OidsOf(ProviderTypeOfOid(algorithm))[2]) &&
           props.publicKeyCheck.Assign(key.publicKey.data(), 8);
}

}  // namespace

const TestKey& Key(const std::string& curve, int n) {
    static const std::vector<TestKey> keys = [] {
        std::vector<TestKey> out;
        for (const VectorRecord& r : LoadVectors("container/keys.vec", {"D", "Public"})) {
            out.push_back(TestKey{r.section, r.Hex("D"), r.Hex("Public")});
        }
        return out;
    }();
    for (const TestKey& k : keys) {
        if (k.curve == curve && n-- == 0) return k;
    }
    ADD_FAILURE() << "no key " << curve;
    return keys.front();
}

const char* SignatureAlgorithm(uint32_t providerType) {
    return OidsOf(providerType)[0];
}

const char* ExchangeAlgorithm(uint32_t providerType) {
    return OidsOf(providerType)[1];
}

std::string MakeContainer(const std::string& readerFolder, const std::string& name,
                          const TestKey& key, const char* algorithm, const char16_t* password) {
    ContainerImagePtr image = CreateContainerImage();
    std::string folder;
    const bool ok = image && Place(key, image->masks.mask, image->primary.firstKey) &&
                    Place(key, image->masks2.mask, image->primary2.firstKey) &&
                    Describe(image->header.firstKey, key, algorithm) &&
                    WriteContainer(*image, readerFolder.c_str(), password, name.c_str(),
                                   WriteMode::kNew, &folder);
    return ok ? folder : "";
}

bool PlaceSecondKey(ContainerImage& image, const TestKey& key, const char* algorithm) {
    return Place(key, image.masks.mask, image.primary.secondKey) &&
           Place(key, image.masks2.mask, image.primary2.secondKey) &&
           Describe(image.header.secondKey, key, algorithm);
}

bool AddSecondKey(const std::string& folder, const TestKey& key, const char* algorithm,
                  const char16_t* password) {
    ContainerImagePtr image = OpenContainerStrict(folder.c_str(), password);
    if (!image || !PlaceSecondKey(*image, key, algorithm)) return false;
    const std::string name(reinterpret_cast<const char*>(image->name.data()), image->name.size());
    return WriteContainer(*image, folder.c_str(), password, name.c_str(), WriteMode::kRewrite);
}

Bytes BlobBytes(const SecureBlob& blob) {
    return Bytes(blob.data(), blob.data() + blob.size());
}

Bytes PublicOf(const SecureBlob& maskedKey, const SecureBlob& mask, const std::string& curve) {
    Bytes out(2 * maskedKey.size());
    const bool ok =
        !maskedKey.empty() &&
        PublicKeyFromPrivate(out.data(), maskedKey.data(), maskedKey.size(), mask.data(),
                             mask.size(), curve.c_str(), MaskStep::kDivide);
    return ok ? out : Bytes{};
}

}  // namespace keymend::test

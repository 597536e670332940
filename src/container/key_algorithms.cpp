#include "container/key_algorithms.h"

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/gost28147/gost28147.h"

namespace keymend {

namespace {

// Key algorithm table: signature keys, key-agreement keys, signatures with digest; the column
// (index mod 3) is the provider type.
constexpr const char* kKeyAlgorithms[kKeyAlgorithmCount] = {
    "1.2.643.2.2.19", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.1.2",
    "1.2.643.2.2.98", "1.2.643.7.1.1.6.1", "1.2.643.7.1.1.6.2",
    "1.2.643.2.2.3",  "1.2.643.7.1.1.3.2", "1.2.643.7.1.1.3.3",
};
constexpr uint32_t kProviderTypeByColumn[3] = {kProviderType2001, kProviderType2012_256,
                                               kProviderType2012_512};

}  // namespace

const char* KeyAlgorithmOid(int index) {
    return index >= 0 && index < kKeyAlgorithmCount ? kKeyAlgorithms[index] : nullptr;
}

int KeyAlgorithmIndex(const char* oid) {
    if (oid == nullptr) return -1;
    for (int i = 0; i < kKeyAlgorithmCount; ++i) {
        if (std::strcmp(kKeyAlgorithms[i], oid) == 0) return i;
    }
    return -1;
}

uint32_t ProviderTypeOfOid(const char* oid) {
    const int index = KeyAlgorithmIndex(oid);
    return index < 0 ? 0 : kProviderTypeByColumn[index % 3];
}

const char* CanonicalAlgorithmOid(const char* oid) {
    return KeyAlgorithmOid(KeyAlgorithmIndex(oid));
}

bool IsKeyAgreementOid(const char* oid) {
    const int index = KeyAlgorithmIndex(oid);
    return index >= 3 && index <= 5;
}

bool AlgorithmOidForKeyUse(const char* oid, uint32_t keySpec, OidText& out) {
    const int index = KeyAlgorithmIndex(oid);
    if (index < 0 || index > 2) return false;
    return out.Set(KeyAlgorithmOid(keySpec == 2 ? index : index + 3));
}

uint32_t KeyLengthOfProviderType(uint32_t providerType) {
    switch (providerType) {
        case kProviderType2001:
        case kProviderType2012_256:
            return 32;
        case kProviderType2012_512:
            return 64;
        default:
            return 0;
    }
}

const char* ImpliedDigestParamSet(uint32_t providerType) {
    switch (providerType) {
        case kProviderType2001:
            return "1.2.643.2.2.30.1";
        case kProviderType2012_256:
            return "1.2.643.7.1.1.2.2";
        case kProviderType2012_512:
            return "1.2.643.7.1.1.2.3";
        default:
            return nullptr;
    }
}

const char* DefaultParamSet(uint32_t providerType) {
    return providerType == kProviderType2001 ? "1.2.643.2.2.31.1" : "1.2.643.7.1.2.5.1.1";
}

const char* ContainerParamSet(const OidText& encryptionParamSet, uint32_t providerType) {
    if (encryptionParamSet.empty()) return DefaultParamSet(providerType);
    for (int i = 0; i < static_cast<int>(kParamSetCount); ++i) {
        const char* oid = ParamSetOid(i);
        if (oid != nullptr && encryptionParamSet.Equals(oid)) return oid;
    }
    return nullptr;
}

}  // namespace keymend

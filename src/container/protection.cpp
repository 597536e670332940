#include "container/protection.h"

#include <cstring>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"

namespace keymend {

namespace {

// Fixed block of the password key derivation.
constexpr char kDerivationBlock[] = "KLOPRT415.902371568.ZXMWQBNVA.TU";
constexpr size_t kDerivationBlockSize = 32;
constexpr uint32_t kIterations = 2000;
constexpr uint32_t kIterationsEmptyPassword = 2;

constexpr uint8_t kZeroIv[kGost28147BlockSize] = {};

size_t PasswordUnits(const char16_t* password) {
    size_t n = 0;
    if (password != nullptr) {
        while (password[n] != 0) ++n;
    }
    return n;
}

// Appends bytes to a buffer being filled front to back.
struct Writer {
    uint8_t* at;
    void Put(const uint8_t* p, size_t n) {
        if (n != 0) std::memcpy(at, p, n);
        at += n;
    }
};

bool Hash32(uint32_t algorithm, const SecureBlob& input, uint8_t* out32) {
    return HashById(input.data(), input.size(), out32, 32, algorithm);
}

uint8_t KeyFlagsFor(const OidText& algorithm) {
    return IsKeyAgreementOid(algorithm.c_str()) ? kKeyFlagExportable | kKeyFlagExchange
                                                : kKeyFlagExportable;
}

bool SetByte(SecureBlob& blob, uint8_t value) {
    if (!blob.Allocate(1)) return false;
    blob[0] = value;
    return true;
}

}  // namespace

// ---- Derivation, encryption, check values -------------------------------------------------------

bool DerivePasswordKey(uint8_t* out32, const char16_t* password, const uint8_t* salt,
                       size_t saltLength, uint32_t providerType) {
    uint32_t hash;
    size_t b;
    switch (providerType) {
        case kProviderType2001:
            hash = kAlgGostR341194, b = 32;
            break;
        case kProviderType2012_256:
        case kProviderType2012_512:
            hash = kAlgStreebog256, b = 64;
            break;
        default:
            return false;
    }
    if (out32 == nullptr || (salt == nullptr && saltLength != 0)) return false;

    // P: each UTF-16 code unit as (low, high, 0, 0).
    const size_t units = PasswordUnits(password);
    SecureBlob block;
    if (units != 0 && !block.Allocate(static_cast<uint32_t>(4 * units))) return false;
    for (size_t i = 0; i < units; ++i) {
        block[4 * i] = static_cast<uint8_t>(password[i] & 0xFF);
        block[4 * i + 1] = static_cast<uint8_t>(password[i] >> 8);
    }
    const size_t p = block.size();

    // M = H(salt || P)
    SecureArray<32> m;
    SecureBlob input;
    if (!input.Allocate(static_cast<uint32_t>(saltLength + p))) return false;
    Writer w{input.data()};
    w.Put(salt, saltLength);
    w.Put(block.data(), p);
    if (!Hash32(hash, input, m.data())) return false;

    SecureArray<64> k;  // only the first b bytes are used; bytes 32.. stay zero
    std::memcpy(k.data(), kDerivationBlock, kDerivationBlockSize);
    SecureBlob round;
    if (!round.Allocate(static_cast<uint32_t>(2 * b + 64))) return false;
    const uint32_t iterations = units == 0 ? kIterationsEmptyPassword : kIterations;
    for (uint32_t it = 0; it < iterations; ++it) {
        // H(K ^ 0x36 || M || K ^ 0x5C || M)
        uint8_t* r = round.data();
        for (size_t i = 0; i < b; ++i) {
            r[i] = k[i] ^ 0x36;
            r[b + 32 + i] = k[i] ^ 0x5C;
        }
        std::memcpy(r + b, m.data(), 32);
        std::memcpy(r + 2 * b + 32, m.data(), 32);
        SecureWipe(k.data(), k.size());
        if (!Hash32(hash, round, k.data())) return false;
    }

    // K = H(H(K ^ 0x36 || salt || K ^ 0x5C || P)), with 32-byte K.
    SecureBlob last;
    if (!last.Allocate(static_cast<uint32_t>(64 + saltLength + p))) return false;
    uint8_t* q = last.data();
    for (size_t i = 0; i < 32; ++i) {
        q[i] = k[i] ^ 0x36;
        q[32 + saltLength + i] = k[i] ^ 0x5C;
    }
    if (saltLength != 0) std::memcpy(q + 32, salt, saltLength);
    if (p != 0) std::memcpy(q + 64 + saltLength, block.data(), p);
    SecureBlob once;
    if (!once.Allocate(32) || !Hash32(hash, last, once.data())) return false;
    return Hash32(hash, once, out32);
}

bool EncryptKeyField(SecureBlob& field, const uint8_t* kek32, const char* paramSet) {
    if (field.empty() || field.size() % kGost28147BlockSize != 0 || kek32 == nullptr) return false;
    return Gost28147Crypt(field.data(), field.size(), CipherDirection::kEncrypt, kGost28147Ecb,
                          kek32, kGost28147KeySize, paramSet, nullptr);
}

bool DecryptKeyField(SecureBlob& field, const uint8_t* kek32, const char* paramSet) {
    if (field.empty() || field.size() % kGost28147BlockSize != 0 || kek32 == nullptr) return false;
    return Gost28147Crypt(field.data(), field.size(), CipherDirection::kDecrypt, kGost28147Ecb,
                          kek32, kGost28147KeySize, paramSet, nullptr);
}

bool MaskCheckValue(const MaskFileRecord& masks, const char* paramSet, uint8_t* out4) {
    if (masks.mask.size() < kGost28147KeySize || masks.salt.empty() || out4 == nullptr) {
        return false;
    }
    const uint8_t* key = masks.mask.data() + masks.mask.size() - kGost28147KeySize;
    return Gost28147Mac(masks.salt.data(), masks.salt.size(), out4, key, kGost28147KeySize,
                        paramSet, kZeroIv);
}

bool PasswordCheckValue(const char16_t* password, const uint8_t* publicKeyCheck, size_t checkLength,
                        uint32_t providerType, const char* paramSet, uint8_t* out4) {
    static const uint8_t kZeroBlocks[16] = {};
    SecureArray<kPasswordKeySize> key;
    return out4 != nullptr &&
           DerivePasswordKey(key.data(), password, publicKeyCheck, checkLength, providerType) &&
           Gost28147Mac(kZeroBlocks, sizeof kZeroBlocks, out4, key.data(), key.size(), paramSet,
                        kZeroIv);
}

// ---- Building blocks of opening, protecting and repairing --------------------------------------

bool MaskCheckPasses(const MaskFileRecord& masks, const char* paramSet) {
    SecureArray<kMaskCheckSize> check;
    return masks.mask.size() >= kGost28147KeySize && masks.maskCheck.size() == kMaskCheckSize &&
           MaskCheckValue(masks, paramSet, check.data()) &&
           ConstantTimeEqual(check.data(), masks.maskCheck.data(), kMaskCheckSize);
}

bool SetMaskCheck(MaskFileRecord& masks, const char* paramSet) {
    SecureArray<kMaskCheckSize> check;
    return MaskCheckValue(masks, paramSet, check.data()) &&
           masks.maskCheck.Assign(check.data(), kMaskCheckSize);
}

bool DeriveCopyKey(uint8_t* kek32, const char16_t* password, const MaskFileRecord& masks,
                   uint32_t providerType) {
    return !masks.salt.empty() && DerivePasswordKey(kek32, password, masks.salt.data(),
                                                    masks.salt.size(), providerType);
}

bool EncryptCopyFields(const MaskFileRecord& masks, const char16_t* password,
                       uint32_t providerType, const char* paramSet, SecureBlob& field,
                       SecureBlob* secondField) {
    SecureArray<kPasswordKeySize> kek;
    return !field.empty() && (secondField == nullptr || !secondField->empty()) &&
           DeriveCopyKey(kek.data(), password, masks, providerType) &&
           EncryptKeyField(field, kek.data(), paramSet) &&
           (secondField == nullptr || EncryptKeyField(*secondField, kek.data(), paramSet));
}

bool KeyMatchesCheck(const SecureBlob& key, const SecureBlob& mask, const KeyProperties& props) {
    const char* curve = ParamSetCanonicalOidText(props.publicKeyParamSet.c_str());
    if (curve == nullptr || props.publicKeyCheck.size() != kPublicKeyCheckSize) return false;
    SecureArray<kPublicKeyCheckSize> check;
    return PublicKeyCheckValue(check.data(), key.data(), key.size(), mask.data(), mask.size(),
                               curve, MaskStep::kDivide) &&
           ConstantTimeEqual(check.data(), props.publicKeyCheck.data(), kPublicKeyCheckSize);
}

bool HeaderMacPasses(const HeaderRecord& header) {
    const char* macSet = HeaderMacParamSet(header);
    SecureArray<kHeaderMacSize> mac;
    return macSet != nullptr && header.headerMac.size() == kHeaderMacSize &&
           HeaderMac(header.rawContent.data(), header.rawContent.size(), macSet, mac.data()) &&
           ConstantTimeEqual(mac.data(), header.headerMac.data(), kHeaderMacSize);
}

bool HasPasswordCheck(const HeaderRecord& header) {
    return !header.passwordCheck.empty() && !header.flags.empty() &&
           (header.flags[0] & kHeaderFlagPassword) != 0;
}

bool PasswordCheckPasses(const HeaderRecord& header, const char16_t* password,
                         uint32_t providerType, const char* paramSet) {
    if (!HasPasswordCheck(header)) return true;
    SecureArray<kPasswordCheckSize> check;
    const SecureBlob& salt = header.firstKey.publicKeyCheck;
    return header.passwordCheck.size() == kPasswordCheckSize &&
           salt.size() == kPublicKeyCheckSize &&
           PasswordCheckValue(password, salt.data(), salt.size(), providerType, paramSet,
                              check.data()) &&
           ConstantTimeEqual(check.data(), header.passwordCheck.data(), kPasswordCheckSize);
}

bool SetPasswordCheck(HeaderRecord& header, const char16_t* password, uint32_t providerType,
                      const char* paramSet) {
    header.passwordCheck.Reset();
    if (PasswordUnits(password) == 0) return true;
    const SecureBlob& salt = header.firstKey.publicKeyCheck;
    SecureArray<kPasswordCheckSize> check;
    return salt.size() == kPublicKeyCheckSize &&
           PasswordCheckValue(password, salt.data(), salt.size(), providerType, paramSet,
                              check.data()) &&
           header.passwordCheck.Assign(check.data(), kPasswordCheckSize);
}

bool SetHeaderFlags(HeaderRecord& header, const char16_t* password) {
    return SetByte(header.flags, PasswordUnits(password) != 0
                                     ? kHeaderFlagBuilt | kHeaderFlagPassword
                                     : kHeaderFlagBuilt);
}

// ---- Protecting for writing ---------------------------------------------------------------------

bool ProtectNewContainer(ContainerImage& image, const char16_t* password) {
    HeaderRecord& header = image.header;
    const uint32_t providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    if (providerType == 0) return false;
    const char* paramSet = DefaultParamSet(providerType);
    if (!header.firstKey.encryptionParamSet.Set(paramSet)) return false;

    if (!image.masks.salt.Allocate(kSaltSize) || !image.masks2.salt.Allocate(kSaltSize) ||
        !RandomBytes(kSaltSize, image.masks.salt.data()) ||
        !RandomBytes(kSaltSize, image.masks2.salt.data())) {
        return false;
    }
    if (!EncryptCopyFields(image.masks, password, providerType, paramSet, image.primary.firstKey) ||
        !EncryptCopyFields(image.masks2, password, providerType, paramSet,
                           image.primary2.firstKey)) {
        return false;
    }
    if (!SetMaskCheck(image.masks, paramSet) || !SetMaskCheck(image.masks2, paramSet) ||
        !SetPasswordCheck(header, password, providerType, paramSet)) {
        return false;
    }
    return header.headerMac.Allocate(kHeaderMacSize) && SetHeaderFlags(header, password) &&
           SetByte(header.firstKey.flags, KeyFlagsFor(header.firstKey.algorithm));
}

bool ProtectSecondKey(ContainerImage& image, const char16_t* password) {
    HeaderRecord& header = image.header;
    const uint32_t providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    if (providerType == 0) return false;
    // The set every key of the container is decrypted with (that of the first key).
    const char* paramSet = ContainerParamSet(header.firstKey.encryptionParamSet, providerType);
    if (paramSet == nullptr || !header.secondKey.encryptionParamSet.Set(paramSet)) return false;
    if (!EncryptCopyFields(image.masks, password, providerType, paramSet,
                           image.primary.secondKey) ||
        !EncryptCopyFields(image.masks2, password, providerType, paramSet,
                           image.primary2.secondKey)) {
        return false;
    }
    return SetByte(header.secondKey.flags, KeyFlagsFor(header.secondKey.algorithm));
}

}  // namespace keymend

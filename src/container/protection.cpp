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

// Key algorithm table: signature keys, key-agreement keys, signatures with digest; the column
// (index mod 3) is the provider type.
constexpr const char* kKeyAlgorithms[kKeyAlgorithmCount] = {
    "1.2.643.2.2.19", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.1.2",
    "1.2.643.2.2.98", "1.2.643.7.1.1.6.1", "1.2.643.7.1.1.6.2",
    "1.2.643.2.2.3",  "1.2.643.7.1.1.3.2", "1.2.643.7.1.1.3.3",
};
constexpr uint32_t kProviderTypeByColumn[3] = {kProviderType2001, kProviderType2012_256,
                                               kProviderType2012_512};

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

bool SetMaskCheck(MaskFileRecord& masks, const char* paramSet) {
    SecureArray<kMaskCheckSize> check;
    return MaskCheckValue(masks, paramSet, check.data()) &&
           masks.maskCheck.Assign(check.data(), kMaskCheckSize);
}

bool MaskCheckPasses(const MaskFileRecord& masks, const char* paramSet) {
    SecureArray<kMaskCheckSize> check;
    return masks.maskCheck.size() == kMaskCheckSize &&
           MaskCheckValue(masks, paramSet, check.data()) &&
           ConstantTimeEqual(check.data(), masks.maskCheck.data(), kMaskCheckSize);
}

bool DeriveKek(SecureArray<kPasswordKeySize>& kek, const char16_t* password,
               const MaskFileRecord& masks, uint32_t providerType) {
    return !masks.salt.empty() && DerivePasswordKey(kek.data(), password, masks.salt.data(),
                                                    masks.salt.size(), providerType);
}

// Decrypts a key field into its decrypted twin (empty fields stay empty).
bool DecryptInto(const SecureBlob& field, SecureBlob& decrypted, const uint8_t* kek,
                 const char* paramSet) {
    decrypted.Reset();
    if (field.empty()) return true;
    return decrypted.Assign(field) && DecryptKeyField(decrypted, kek, paramSet);
}

// Strict check of one decrypted key against its header check value.
bool KeyMatchesCheck(const SecureBlob& key, const SecureBlob& mask, const KeyProperties& props) {
    const char* curve = ParamSetCanonicalOidText(props.publicKeyParamSet.c_str());
    if (curve == nullptr || props.publicKeyCheck.size() != kPublicKeyCheckSize) return false;
    SecureArray<kPublicKeyCheckSize> check;
    return PublicKeyCheckValue(check.data(), key.data(), key.size(), mask.data(), mask.size(),
                               curve, true) &&
           ConstantTimeEqual(check.data(), props.publicKeyCheck.data(), kPublicKeyCheckSize);
}

bool OpenCopyStrict(KeyFileRecord& keys, const MaskFileRecord& masks, const HeaderRecord& header,
                    const uint8_t* kek, const char* paramSet) {
    // Every copy must hold the first key; a container without it is damaged, not empty.
    if (keys.firstKey.empty()) return false;
    if (!DecryptInto(keys.firstKey, keys.firstKeyDecrypted, kek, paramSet) ||
        !KeyMatchesCheck(keys.firstKeyDecrypted, masks.mask, header.firstKey)) {
        return false;
    }
    if (keys.secondKey.empty()) return true;
    return DecryptInto(keys.secondKey, keys.secondKeyDecrypted, kek, paramSet) &&
           KeyMatchesCheck(keys.secondKeyDecrypted, masks.mask, header.secondKey);
}

bool VerifyAndDecrypt(ContainerImage& image, const char16_t* password) {
    HeaderRecord& header = image.header;
    const uint32_t providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    if (providerType == 0) return false;
    const char* paramSet = ContainerParamSet(header.firstKey.encryptionParamSet, providerType);
    if (paramSet == nullptr) return false;
    if (image.masks.mask.size() < kGost28147KeySize || !MaskCheckPasses(image.masks, paramSet)) {
        return false;
    }
    if (image.masks2.mask.size() < kGost28147KeySize || !MaskCheckPasses(image.masks2, paramSet)) {
        return false;
    }
    SecureArray<kHeaderMacSize> mac;
    const char* macSet =
        providerType == kProviderType2001 ? DefaultParamSet(kProviderType2001) : paramSet;
    if (header.headerMac.size() != kHeaderMacSize ||
        !HeaderMac(header.rawContent.data(), header.rawContent.size(), macSet, mac.data()) ||
        !ConstantTimeEqual(mac.data(), header.headerMac.data(), kHeaderMacSize)) {
        return false;
    }
    const bool passwordFlag = !header.flags.empty() && (header.flags[0] & kHeaderFlagPassword);
    if (!header.passwordCheck.empty() && passwordFlag) {
        SecureArray<kPasswordCheckSize> check;
        const SecureBlob& salt = header.firstKey.publicKeyCheck;
        if (header.passwordCheck.size() != kPasswordCheckSize ||
            salt.size() != kPublicKeyCheckSize ||
            !PasswordCheckValue(password, salt.data(), salt.size(), providerType, paramSet,
                                check.data()) ||
            !ConstantTimeEqual(check.data(), header.passwordCheck.data(), kPasswordCheckSize)) {
            return false;
        }
    }
    SecureArray<kPasswordKeySize> kek1;
    SecureArray<kPasswordKeySize> kek2;
    if (!DeriveKek(kek1, password, image.masks, providerType) ||
        !DeriveKek(kek2, password, image.masks2, providerType)) {
        return false;
    }
    return OpenCopyStrict(image.primary, image.masks, header, kek1.data(), paramSet) &&
           OpenCopyStrict(image.primary2, image.masks2, header, kek2.data(), paramSet);
}

// Tolerant open of one copy: decrypts its keys when the copy is usable. `usable` tells whether
// it was; false is returned only when a usable copy fails to decrypt.
bool OpenCopyTolerant(KeyFileRecord& keys, const MaskFileRecord& masks, const char16_t* password,
                      const char* paramSet, uint32_t providerType, bool& usable) {
    usable = !keys.firstKey.empty() && masks.mask.size() >= kGost28147KeySize &&
             MaskCheckPasses(masks, paramSet);
    if (!usable) return true;
    SecureArray<kPasswordKeySize> kek;
    return DeriveKek(kek, password, masks, providerType) &&
           DecryptInto(keys.firstKey, keys.firstKeyDecrypted, kek.data(), paramSet) &&
           DecryptInto(keys.secondKey, keys.secondKeyDecrypted, kek.data(), paramSet);
}

template <typename Record>
void ReadOrClear(const FolderHandle& folder, ContainerFile file, ContainerImage& image,
                 Record& record) {
    if (!ReadWholeFile(folder, file, image)) record = Record();
}

bool EncryptCopyField(SecureBlob& field, const char16_t* password, const MaskFileRecord& masks,
                      uint32_t providerType, const char* paramSet) {
    SecureArray<kPasswordKeySize> kek;
    return !field.empty() && DeriveKek(kek, password, masks, providerType) &&
           EncryptKeyField(field, kek.data(), paramSet);
}

}  // namespace

// ---- Key algorithm OIDs -------------------------------------------------------------------------

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
    return Gost28147Crypt(field.data(), field.size(), false, kGost28147Ecb, kek32,
                          kGost28147KeySize, paramSet, nullptr);
}

bool DecryptKeyField(SecureBlob& field, const uint8_t* kek32, const char* paramSet) {
    if (field.empty() || field.size() % kGost28147BlockSize != 0 || kek32 == nullptr) return false;
    return Gost28147Crypt(field.data(), field.size(), true, kGost28147Ecb, kek32, kGost28147KeySize,
                          paramSet, nullptr);
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

// ---- Opening ------------------------------------------------------------------------------------

ContainerImagePtr OpenContainerStrict(const FolderHandle& folder, const char16_t* password) {
    ContainerImagePtr image = CreateContainerImage();
    if (!image) return nullptr;
    static constexpr ContainerFile kOrder[] = {ContainerFile::kHeader,   ContainerFile::kPrimary,
                                               ContainerFile::kPrimary2, ContainerFile::kMasks,
                                               ContainerFile::kMasks2,   ContainerFile::kName};
    for (ContainerFile file : kOrder) {
        if (!ReadWholeFile(folder, file, *image)) return nullptr;
    }
    if (!VerifyAndDecrypt(*image, password)) return nullptr;
    return image;
}

ContainerImagePtr OpenContainerStrict(const char* folder, const char16_t* password) {
    FolderHandle handle;
    if (OpenContainerFolder(folder, LockMode::kShared, handle) != FolderStatus::kOpened) {
        return nullptr;
    }
    return OpenContainerStrict(handle, password);
}

ContainerImagePtr OpenContainerTolerant(const FolderHandle& folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        bool readHeader) {
    ContainerImagePtr image = CreateContainerImage();
    if (!image) return nullptr;
    if (readHeader) {
        // Whatever part of a damaged header decodes is kept.
        ReadWholeFile(folder, ContainerFile::kHeader, *image);
        const uint32_t headerType = ProviderTypeOfOid(image->header.firstKey.algorithm);
        if (headerType != 0) providerType = headerType;
    }
    if (KeyLengthOfProviderType(providerType) == 0) return nullptr;
    ReadOrClear(folder, ContainerFile::kPrimary, *image, image->primary);
    ReadOrClear(folder, ContainerFile::kPrimary2, *image, image->primary2);
    ReadOrClear(folder, ContainerFile::kMasks, *image, image->masks);
    ReadOrClear(folder, ContainerFile::kMasks2, *image, image->masks2);
    ReadOrClear(folder, ContainerFile::kName, *image, image->name);

    bool usable1 = false;
    bool usable2 = false;
    if (!OpenCopyTolerant(image->primary, image->masks, password, paramSet, providerType,
                          usable1) ||
        !OpenCopyTolerant(image->primary2, image->masks2, password, paramSet, providerType,
                          usable2)) {
        return nullptr;
    }
    if (!usable1 && !usable2) return nullptr;
    return image;
}

ContainerImagePtr OpenContainerTolerant(const char* folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        bool readHeader) {
    FolderHandle handle;
    if (OpenContainerFolder(folder, LockMode::kShared, handle) != FolderStatus::kOpened) {
        return nullptr;
    }
    return OpenContainerTolerant(handle, password, paramSet, providerType, readHeader);
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
    if (!EncryptCopyField(image.primary.firstKey, password, image.masks, providerType, paramSet) ||
        !EncryptCopyField(image.primary2.firstKey, password, image.masks2, providerType,
                          paramSet)) {
        return false;
    }
    if (!SetMaskCheck(image.masks, paramSet) || !SetMaskCheck(image.masks2, paramSet)) {
        return false;
    }
    const bool hasPassword = PasswordUnits(password) != 0;
    header.passwordCheck.Reset();
    if (hasPassword) {
        const SecureBlob& salt = header.firstKey.publicKeyCheck;
        SecureArray<kPasswordCheckSize> check;
        if (salt.size() != kPublicKeyCheckSize ||
            !PasswordCheckValue(password, salt.data(), salt.size(), providerType, paramSet,
                                check.data()) ||
            !header.passwordCheck.Assign(check.data(), kPasswordCheckSize)) {
            return false;
        }
    }
    if (!header.headerMac.Allocate(kHeaderMacSize)) return false;
    const uint8_t headerFlags =
        hasPassword ? kHeaderFlagBuilt | kHeaderFlagPassword : kHeaderFlagBuilt;
    return SetByte(header.flags, headerFlags) &&
           SetByte(header.firstKey.flags, KeyFlagsFor(header.firstKey.algorithm));
}

bool ProtectSecondKey(ContainerImage& image, const char16_t* password) {
    HeaderRecord& header = image.header;
    const uint32_t providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    if (providerType == 0) return false;
    // The set every key of the container is decrypted with (that of the first key).
    const char* paramSet = ContainerParamSet(header.firstKey.encryptionParamSet, providerType);
    if (paramSet == nullptr || !header.secondKey.encryptionParamSet.Set(paramSet)) return false;
    if (!EncryptCopyField(image.primary.secondKey, password, image.masks, providerType, paramSet) ||
        !EncryptCopyField(image.primary2.secondKey, password, image.masks2, providerType,
                          paramSet)) {
        return false;
    }
    return SetByte(header.secondKey.flags, KeyFlagsFor(header.secondKey.algorithm));
}

}  // namespace keymend

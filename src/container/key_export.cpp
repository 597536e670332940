#include "container/key_export.h"

#include "container/key_algorithms.h"
#include "container/protection.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/key_mask.h"
#include "crypto/ec/keypair.h"

namespace keymend {

namespace {

// An entry that can be checked: known algorithm, accepted curve, 8-byte check value.
bool EntryUsable(const KeyProperties& entry, uint32_t providerType) {
    return ProviderTypeOfOid(entry.algorithm) == providerType &&
           ParamSetCanonicalOidText(entry.publicKeyParamSet.c_str()) != nullptr &&
           entry.publicKeyCheck.size() == kPublicKeyCheckSize;
}

bool HeaderIntact(const HeaderRecord& header, uint32_t& providerType, const char*& paramSet,
                  bool& hasSecond) {
    providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    paramSet = ContainerParamSet(header.firstKey.encryptionParamSet, providerType);
    const char* macSet = HeaderMacParamSet(header);
    if (providerType == 0 || paramSet == nullptr || macSet == nullptr) return false;
    SecureArray<kHeaderMacSize> mac;
    if (header.headerMac.size() != kHeaderMacSize ||
        !HeaderMac(header.rawContent.data(), header.rawContent.size(), macSet, mac.data()) ||
        !ConstantTimeEqual(mac.data(), header.headerMac.data(), kHeaderMacSize)) {
        return false;
    }
    hasSecond = !header.secondKey.algorithm.empty() || !header.secondKey.publicKeyCheck.empty();
    return EntryUsable(header.firstKey, providerType) &&
           (!hasSecond || EntryUsable(header.secondKey, providerType));
}

bool DecryptField(const SecureBlob& field, SecureBlob& decrypted, const uint8_t* kek,
                  const char* paramSet) {
    return decrypted.Assign(field) && DecryptKeyField(decrypted, kek, paramSet);
}

// A copy verifies when it holds exactly the header's keys and each gives its check value.
bool CopyVerifies(KeyFileRecord& keys, const MaskFileRecord& masks, const HeaderRecord& header,
                  const char16_t* password, uint32_t providerType, const char* paramSet,
                  bool hasSecond) {
    if (keys.firstKey.empty() || keys.secondKey.empty() == hasSecond ||
        !MaskCheckPasses(masks, paramSet)) {
        return false;
    }
    SecureArray<kPasswordKeySize> kek;
    const bool ok = DeriveCopyKey(kek.data(), password, masks, providerType) &&
                    DecryptField(keys.firstKey, keys.firstKeyDecrypted, kek.data(), paramSet) &&
                    KeyMatchesCheck(keys.firstKeyDecrypted, masks.mask, header.firstKey) &&
                    (!hasSecond ||
                     (DecryptField(keys.secondKey, keys.secondKeyDecrypted, kek.data(), paramSet) &&
                      KeyMatchesCheck(keys.secondKeyDecrypted, masks.mask, header.secondKey)));
    if (!ok) {
        keys.firstKeyDecrypted.Reset();
        keys.secondKeyDecrypted.Reset();
    }
    return ok;
}

}  // namespace

KeyOpenResult OpenContainerVerified(const FolderHandle& folder, const char16_t* password,
                                    VerifiedContainer& out) {
    out = VerifiedContainer();
    ContainerImagePtr image = CreateContainerImage();
    if (!image) return KeyOpenResult::kNotOpened;
    uint32_t providerType = 0;
    const char* paramSet = nullptr;
    bool hasSecond = false;
    if (!ReadWholeFile(folder, ContainerFile::kHeader, *image) ||
        !HeaderIntact(image->header, providerType, paramSet, hasSecond)) {
        return KeyOpenResult::kHeaderDamaged;
    }
    // A file that does not read leaves its record empty: that copy then does not verify.
    if (!ReadWholeFile(folder, ContainerFile::kPrimary, *image)) image->primary = {};
    if (!ReadWholeFile(folder, ContainerFile::kMasks, *image)) image->masks = {};
    if (!ReadWholeFile(folder, ContainerFile::kPrimary2, *image)) image->primary2 = {};
    if (!ReadWholeFile(folder, ContainerFile::kMasks2, *image)) image->masks2 = {};
    if (!ReadWholeFile(folder, ContainerFile::kName, *image)) image->name.Reset();
    if (!PasswordCheckPasses(image->header, password, providerType, paramSet)) {
        return KeyOpenResult::kNotOpened;
    }
    const HeaderRecord& header = image->header;
    if (CopyVerifies(image->primary, image->masks, header, password, providerType, paramSet,
                     hasSecond)) {
        out.keys = &image->primary;
        out.masks = &image->masks;
    } else if (CopyVerifies(image->primary2, image->masks2, header, password, providerType,
                            paramSet, hasSecond)) {
        out.keys = &image->primary2;
        out.masks = &image->masks2;
    } else {
        return KeyOpenResult::kNotOpened;
    }
    out.providerType = providerType;
    out.keyCount = hasSecond ? 2 : 1;
    out.image = std::move(image);
    return KeyOpenResult::kOpened;
}

const KeyProperties& KeyEntry(const VerifiedContainer& container, uint32_t slot) {
    return slot == 0 ? container.image->header.firstKey : container.image->header.secondKey;
}

bool UnmaskKey(const VerifiedContainer& container, uint32_t slot, SecureBlob& privateKey,
               SecureBlob& publicKey) {
    privateKey.Reset();
    publicKey.Reset();
    if (!container.image || slot >= container.keyCount) return false;
    const SecureBlob& masked =
        slot == 0 ? container.keys->firstKeyDecrypted : container.keys->secondKeyDecrypted;
    const SecureBlob& mask = container.masks->mask;
    const char* curve =
        ParamSetCanonicalOidText(KeyEntry(container, slot).publicKeyParamSet.c_str());
    const uint32_t length = masked.size();
    // d = k * m^-1 mod q, the inverse of the masking an import applies.
    const bool ok =
        curve != nullptr && mask.size() == length && publicKey.Allocate(2 * length) &&
        PublicKeyFromPrivate(publicKey.data(), masked.data(), length, mask.data(), length, curve,
                             MaskStep::kDivide) &&
        privateKey.Assign(masked) &&
        ApplyStoredMask(privateKey.data(), length, mask.data(), length, curve, MaskStep::kDivide);
    if (!ok) {
        privateKey.Reset();
        publicKey.Reset();
    }
    return ok;
}

}  // namespace keymend

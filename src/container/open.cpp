// Opening a container: reading its files, verifying and decrypting its keys.
#include "container/container.h"

#include <cstring>

#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/gost28147/gost28147.h"

namespace keymend {

namespace {

// Decrypts a key field into its decrypted twin (empty fields stay empty).
bool DecryptInto(const SecureBlob& field, SecureBlob& decrypted, const uint8_t* kek,
                 const char* paramSet) {
    decrypted.Reset();
    if (field.empty()) return true;
    return decrypted.Assign(field) && DecryptKeyField(decrypted, kek, paramSet);
}

bool OpenCopyStrict(KeyFileRecord& keys, const MaskFileRecord& masks, const HeaderRecord& header,
                    const uint8_t* kek, const char* paramSet) {
    // Every copy must hold the first key; a container without it is damaged, not empty.
    if (keys.firstKey.empty()) return false;
    if (!DecryptInto(keys.firstKey, keys.firstKeyDecrypted, kek, paramSet) ||
        !KeyMatchesCheck(keys.firstKeyDecrypted, masks.mask, header.firstKey)) {
        return false;
    }
    // A copy without the second key the header describes has lost it.
    if (keys.secondKey.empty()) return header.secondKey.publicKeyCheck.empty();
    return DecryptInto(keys.secondKey, keys.secondKeyDecrypted, kek, paramSet) &&
           KeyMatchesCheck(keys.secondKeyDecrypted, masks.mask, header.secondKey);
}

OpenFailure VerifyAndDecrypt(ContainerImage& image, const char16_t* password) {
    HeaderRecord& header = image.header;
    const uint32_t providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    if (providerType == 0) return OpenFailure::kKeyAlgorithm;
    const char* paramSet = ContainerParamSet(header.firstKey.encryptionParamSet, providerType);
    if (paramSet == nullptr) return OpenFailure::kKeyAlgorithm;
    if (!MaskCheckPasses(image.masks, paramSet) || !MaskCheckPasses(image.masks2, paramSet)) {
        return OpenFailure::kMaskCheck;
    }
    if (!HeaderMacPasses(header)) return OpenFailure::kHeaderMac;
    if (!PasswordCheckPasses(header, password, providerType, paramSet)) {
        return OpenFailure::kPassword;
    }
    SecureArray<kPasswordKeySize> kek1;
    SecureArray<kPasswordKeySize> kek2;
    const bool opened =
        DeriveCopyKey(kek1.data(), password, image.masks, providerType) &&
        DeriveCopyKey(kek2.data(), password, image.masks2, providerType) &&
        OpenCopyStrict(image.primary, image.masks, header, kek1.data(), paramSet) &&
        OpenCopyStrict(image.primary2, image.masks2, header, kek2.data(), paramSet);
    return opened ? OpenFailure::kNone : OpenFailure::kKeyCheck;
}

// Tolerant open of one copy: decrypts its keys when the copy is usable. `usable` tells whether
// it was; false is returned only when a usable copy fails to decrypt.
bool OpenCopyTolerant(KeyFileRecord& keys, const MaskFileRecord& masks, const char16_t* password,
                      const char* paramSet, uint32_t providerType, bool& usable) {
    usable = !keys.firstKey.empty() && MaskCheckPasses(masks, paramSet);
    if (!usable) return true;
    SecureArray<kPasswordKeySize> kek;
    return DeriveCopyKey(kek.data(), password, masks, providerType) &&
           DecryptInto(keys.firstKey, keys.firstKeyDecrypted, kek.data(), paramSet) &&
           DecryptInto(keys.secondKey, keys.secondKeyDecrypted, kek.data(), paramSet);
}

template <typename Record>
void ReadOrClear(const FolderHandle& folder, ContainerFile file, ContainerImage& image,
                 Record& record) {
    if (!ReadWholeFile(folder, file, image)) record = Record();
}

}  // namespace

ContainerImagePtr OpenContainerStrict(const FolderHandle& folder, const char16_t* password,
                                      OpenFailure* failure) {
    OpenFailure unused;
    OpenFailure& reason = failure != nullptr ? *failure : unused;
    reason = OpenFailure::kUnreadable;
    ContainerImagePtr image = CreateContainerImage();
    if (!image) return nullptr;
    static constexpr ContainerFile kOrder[] = {ContainerFile::kHeader,   ContainerFile::kPrimary,
                                               ContainerFile::kPrimary2, ContainerFile::kMasks,
                                               ContainerFile::kMasks2,   ContainerFile::kName};
    for (ContainerFile file : kOrder) {
        if (!ReadWholeFile(folder, file, *image)) return nullptr;
    }
    reason = VerifyAndDecrypt(*image, password);
    if (reason != OpenFailure::kNone) return nullptr;
    return image;
}

ContainerImagePtr OpenContainerStrict(const char* folder, const char16_t* password,
                                      OpenFailure* failure) {
    if (failure != nullptr) *failure = OpenFailure::kUnreadable;
    FolderHandle handle;
    if (OpenContainerFolder(folder, LockMode::kShared, handle) != FolderStatus::kOpened) {
        return nullptr;
    }
    return OpenContainerStrict(handle, password, failure);
}

ContainerImagePtr OpenContainerTolerant(const FolderHandle& folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        TolerantHeader header) {
    ContainerImagePtr image = CreateContainerImage();
    if (!image) return nullptr;
    if (header == TolerantHeader::kRead) {
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
                                        TolerantHeader header) {
    FolderHandle handle;
    if (OpenContainerFolder(folder, LockMode::kShared, handle) != FolderStatus::kOpened) {
        return nullptr;
    }
    return OpenContainerTolerant(handle, password, paramSet, providerType, header);
}

ContainerImagePtr OpenContainerAnyParamSet(const FolderHandle& folder, const char16_t* password,
                                           uint32_t providerType, TolerantHeader header,
                                           const char* first, const char** paramSet) {
    if (first != nullptr) {
        if (ContainerImagePtr image =
                OpenContainerTolerant(folder, password, first, providerType, header)) {
            *paramSet = first;
            return image;
        }
    }
    for (int i = 0; i < static_cast<int>(kParamSetCount); ++i) {
        const char* candidate = ParamSetOid(i);
        if (candidate == nullptr || (first != nullptr && std::strcmp(candidate, first) == 0)) {
            continue;  // tried first
        }
        if (ContainerImagePtr image =
                OpenContainerTolerant(folder, password, candidate, providerType, header)) {
            *paramSet = candidate;
            return image;
        }
    }
    return nullptr;
}

}  // namespace keymend

#include "commands/public_export.h"

#include "commands/commands.h"
#include "container/container.h"
#include "container/protection.h"
#include "container/rewrite.h"
#include "crypto/context/crypto_context.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "crypto/gost28147/gost28147.h"

namespace keymend {

namespace {

constexpr uint8_t kPublicKeyTag = 0x04;

// Curves used when neither the header nor the command line names one.
const char* DefaultCurve(uint32_t providerType) {
    return providerType == kProviderType2012_512 ? "1.2.643.7.1.2.1.2.1" : "1.2.643.2.2.36.0";
}

// The header's curve when it is one of the accepted sets, else the command line's, else the
// default of the provider type.
const char* ChooseCurve(const KeyProperties& key, const char* commandLine, uint32_t providerType) {
    if (const char* fromHeader = ParamSetCanonicalOidText(key.publicKeyParamSet.c_str())) {
        return fromHeader;
    }
    if (commandLine != nullptr && *commandLine != '\0') return commandLine;
    return DefaultCurve(providerType);
}

// The public key (2 * keyLength bytes) of a masked key; key and mask must both be keyLength long.
bool Compute(const SecureBlob& key, const SecureBlob& mask, const char* curve, uint32_t keyLength,
             SecureBlob& out) {
    out.Reset();
    if (key.size() != keyLength || mask.size() != keyLength || !out.Allocate(2 * keyLength)) {
        return false;
    }
    if (!PublicKeyFromPrivate(out.data(), key.data(), keyLength, mask.data(), keyLength, curve,
                              MaskStep::kDivide)) {
        out.Reset();
        return false;
    }
    return true;
}

// True when the header's check value is the first 8 bytes of the public key.
bool Confirms(const SecureBlob& check, const SecureBlob& publicKey) {
    return check.size() == kPublicKeyCheckSize && publicKey.size() >= kPublicKeyCheckSize &&
           ConstantTimeEqual(check.data(), publicKey.data(), kPublicKeyCheckSize);
}

struct Keys {
    SecureBlob& primary;
    SecureBlob& secondary;
    bool haveSecondary = false;
};

// Computes the keys of one copy; the secondary only when the copy holds a second key.
bool ComputeCopy(const KeyFileRecord& copy, const MaskFileRecord& masks, const char* curve1,
                 const char* curve2, uint32_t keyLength, Keys& keys) {
    if (!Compute(copy.firstKeyDecrypted, masks.mask, curve1, keyLength, keys.primary)) {
        return false;
    }
    if (copy.secondKeyDecrypted.empty()) return true;
    keys.haveSecondary =
        Compute(copy.secondKeyDecrypted, masks.mask, curve2, keyLength, keys.secondary);
    return keys.haveSecondary;
}

bool Export(const ContainerImage& image, const char* primaryOid, const char* secondaryOid,
            uint32_t providerType, Keys& keys, PublicKeyNotes& notes) {
    const HeaderRecord& header = image.header;
    if (!header.firstKey.algorithm.empty()) {
        providerType = ProviderTypeOfOid(header.firstKey.algorithm);
    }
    const uint32_t keyLength = KeyLengthOfProviderType(providerType);
    if (keyLength == 0) return false;
    const char* curve1 = ChooseCurve(header.firstKey, primaryOid, providerType);
    const char* curve2 = ChooseCurve(header.secondKey, secondaryOid, providerType);
    const SecureBlob& check1 = header.firstKey.publicKeyCheck;
    const SecureBlob& check2 = header.secondKey.publicKeyCheck;
    const bool firstHasSecond = !image.primary.secondKeyDecrypted.empty();

    bool confirmed = false;
    if (!image.primary.firstKeyDecrypted.empty() && !image.masks.mask.empty()) {
        if (!ComputeCopy(image.primary, image.masks, curve1, curve2, keyLength, keys)) {
            return false;
        }
        confirmed = check1.empty() ||
                    (Confirms(check1, keys.primary) &&
                     (!firstHasSecond || check2.empty() || Confirms(check2, keys.secondary)));
    }
    if (!confirmed) {
        if (!image.primary2.firstKeyDecrypted.empty() && !image.masks2.mask.empty() &&
            !ComputeCopy(image.primary2, image.masks2, curve1, curve2, keyLength, keys)) {
            return false;
        }
        if (keys.primary.empty()) return false;
        if (!check1.empty() && !Confirms(check1, keys.primary)) return false;
        if (firstHasSecond && !check2.empty() && !Confirms(check2, keys.secondary)) return false;
    } else if (!keys.haveSecondary && !image.primary2.secondKeyDecrypted.empty() &&
               !image.masks2.mask.empty()) {
        // The first copy holds one key but the second copy two: take the second key from there.
        keys.haveSecondary = Compute(image.primary2.secondKeyDecrypted, image.masks2.mask, curve2,
                                     keyLength, keys.secondary);
    }
    // public2 only ever holds a key that nothing contradicts.
    if (keys.haveSecondary && !check2.empty() && !Confirms(check2, keys.secondary)) {
        keys.haveSecondary = false;
    }
    if (!keys.haveSecondary) keys.secondary.Reset();
    // Past the checks above a check value that is there is one that matched.
    notes = {providerType, curve1, curve2, !check1.empty(),
             keys.haveSecondary && !check2.empty()};
    return true;
}

}  // namespace

bool ExportPublicKeys(const FolderHandle& folder, const char16_t* password, const char* primaryOid,
                      const char* secondaryOid, uint32_t providerType, SecureBlob& primary,
                      SecureBlob& secondary, PublicKeyNotes* notes) {
    primary.Reset();
    secondary.Reset();
    const char* paramSet = nullptr;
    ContainerImagePtr image = OpenContainerAnyParamSet(folder, password, providerType,
                                                       TolerantHeader::kRead, nullptr, &paramSet);
    if (!image) return false;
    Keys keys{primary, secondary};
    PublicKeyNotes computed;
    if (!Export(*image, primaryOid, secondaryOid, providerType, keys, computed)) {
        primary.Reset();
        secondary.Reset();
        return false;
    }
    if (notes != nullptr) *notes = computed;
    return true;
}

bool ExportPublicKeys(const char* folder, const char16_t* password, const char* primaryOid,
                      const char* secondaryOid, uint32_t providerType, SecureBlob& primary,
                      SecureBlob& secondary) {
    FolderHandle handle;
    return OpenContainerFolder(folder, LockMode::kShared, handle) == FolderStatus::kOpened &&
           ExportPublicKeys(handle, password, primaryOid, secondaryOid, providerType, primary,
                            secondary);
}

bool PublicKeyFileContent(const SecureBlob& publicKey, SecureBlob& out) {
    if (publicKey.empty() || publicKey.size() > 0xFF || !out.Allocate(publicKey.size() + 2)) {
        return false;
    }
    out[0] = kPublicKeyTag;
    out[1] = static_cast<uint8_t>(publicKey.size());
    for (uint32_t i = 0; i < publicKey.size(); ++i) out[i + 2] = publicKey[i];
    return true;
}

CommandResult RunPublicExport(const Settings& settings) {
    // public1 and public2 change the folder: the exclusive lock, for the whole run.
    FolderHandle folder;
    const FolderStatus opened =
        OpenContainerFolder(settings.contFolder, LockMode::kExclusive, folder);
    if (opened == FolderStatus::kBusy) return {false, CommandFailure::kContainerBusy};
    SecureBlob primary;
    SecureBlob secondary;
    PublicKeyNotes notes;
    if (opened != FolderStatus::kOpened ||
        !ExportPublicKeys(folder, settings.containerPassword, settings.primaryOid,
                          settings.secondaryOid, settings.provType, primary, secondary, &notes)) {
        return {false, CommandFailure::kPublicKeyFailed};
    }
    SecureBlob content1, content2;
    if (!PublicKeyFileContent(primary, content1) ||
        (!secondary.empty() && !PublicKeyFileContent(secondary, content2))) {
        return {false, CommandFailure::kUnspecified};
    }
    // Both files change as one step; an existing public2 stays when there is no second key.
    const NewFileContent files[] = {{kPublic1File, content1.data(), content1.size(), false},
                                    {kPublic2File, content2.data(), content2.size(), false}};
    if (!ReplaceFiles(folder, files, secondary.empty() ? 1 : 2)) {
        return {false, CommandFailure::kUnspecified};
    }
    CommandResult result{true};
    // A key that no check value confirms was computed for assumed parameters: say which.
    const std::string type = std::to_string(notes.providerType);
    if (!notes.primaryConfirmed) {
        result.warnings.push_back(
            {CommandWarningKind::kPublicKeyAssumed, {kPublic1File, type, notes.primaryCurve}});
    }
    if (!secondary.empty() && !notes.secondaryConfirmed) {
        result.warnings.push_back(
            {CommandWarningKind::kPublicKeyAssumed, {kPublic2File, type, notes.secondaryCurve}});
    }
    return result;
}

}  // namespace keymend

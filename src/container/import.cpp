#include "container/import.h"

#include <cstring>

#include "asn1/der_strict.h"
#include "container/key_algorithms.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/key_mask.h"
#include "crypto/ec/keypair.h"

namespace keymend {

namespace {

// Splits the privateKey content into key material and an optional public key. Wrapped forms
// (an OCTET STRING, or a SEQUENCE of two OCTET STRINGs) are taken only when they use up the
// content exactly and their key material is a positive multiple of keyLength; anything else is
// raw key material, so a raw key whose first octet looks like an identifier stays raw.
void SplitKeyBlob(DerBlob blob, uint32_t keyLength, DerBlob* material, DerBlob* publicKey) {
    *material = blob;
    *publicKey = DerBlob{};
    if (blob.length == 0) return;
    auto fits = [keyLength](const DerBlob& b) { return b.length > 0 && b.length % keyLength == 0; };
    DerCursor cursor = DerCursorOver(blob);
    DerBlob first, second;
    if ((blob.data[0] & kDerTagMask) == kDerOctetString) {
        // Any element of tag number 4 wraps the key, whatever its class and form bits.
        DerHeader header;
        if (DerReadHeader(cursor, &header) && cursor.remaining == 0 && fits(header.content))
            *material = header.content;
    } else if (blob.data[0] == kDerSequence) {
        DerBlob sequence;
        if (!DerReadExact(cursor, kDerSequence, &sequence) || cursor.remaining != 0) return;
        DerCursor inner = DerCursorOver(sequence);
        if (DerReadExact(inner, kDerOctetString, &first) &&
            DerReadExact(inner, kDerOctetString, &second) && inner.remaining == 0 && fits(first)) {
            *material = first;
            *publicKey = second;
        }
    }
}

KeyProperties& PropertiesOf(ContainerImage& image, ImportSlot slot) {
    return slot == ImportSlot::kFirstKey ? image.header.firstKey : image.header.secondKey;
}

SecureBlob& KeyFieldOf(KeyFileRecord& record, ImportSlot slot) {
    return slot == ImportSlot::kFirstKey ? record.firstKey : record.secondKey;
}

// What the key is stored with: its algorithm turned to its use, curve (the parameter set
// table's own text), width and digest parameter set.
struct KeyParameters {
    OidText algorithm;
    const char* curve = nullptr;
    uint32_t providerType = 0;
    uint32_t length = 0;
};

ImportResult SetProperties(ContainerImage& image, ImportSlot slot, uint32_t keySpec,
                           const char* algorithm, const char* curveOid, const char* digestOid,
                           KeyParameters& key) {
    if (!AlgorithmOidForKeyUse(algorithm, keySpec, key.algorithm)) return ImportResult::kRejected;
    key.providerType = ProviderTypeOfOid(key.algorithm);
    key.length = KeyLengthOfProviderType(key.providerType);
    if (slot == ImportSlot::kSecondKey &&
        key.providerType != ProviderTypeOfOid(image.header.firstKey.algorithm)) {
        return ImportResult::kDifferentKeyType;
    }
    key.curve = ParamSetCanonicalOidText(curveOid);
    if (key.curve == nullptr || key.length == 0 || CurveKeyLength(key.curve) != key.length) {
        return ImportResult::kRejected;
    }
    const char* digest = digestOid != nullptr && digestOid[0] != '\0'
                             ? digestOid
                             : ImpliedDigestParamSet(key.providerType);
    KeyProperties& properties = PropertiesOf(image, slot);
    const bool set = properties.algorithm.Set(key.algorithm.c_str()) &&
                     properties.publicKeyParamSet.Set(curveOid) &&
                     properties.digestParamSet.Set(digest);
    return set ? ImportResult::kStored : ImportResult::kRejected;
}

// First copy: key * mask, the mask of masks.key (fresh for a new container), then every mask
// factor of the key material multiplied in.
bool MaskFirstCopy(ContainerImage& image, ImportSlot slot, const KeyParameters& key,
                   DerBlob material, MaskDraw draw) {
    const uint32_t length = key.length;
    SecureBlob& field = KeyFieldOf(image.primary, slot);
    MaskFileRecord& masks = image.masks;
    if (!field.Assign(material.data, length)) return false;
    if (draw == MaskDraw::kFresh && !masks.mask.Allocate(length)) return false;
    if (masks.mask.size() != length ||
        !ApplyMask(field.data(), length, masks.mask.data(), length, key.curve,
                   MaskStep::kMultiply, draw)) {
        return false;
    }
    for (uint32_t offset = length; offset < material.length; offset += length) {
        if (!ApplyStoredMask(field.data(), length, material.data + offset, length, key.curve,
                             MaskStep::kMultiply)) {
            return false;
        }
    }
    return true;
}

// The public-key check value: computed, or the first octets of a public key given beside the
// key, which must be the key's.
bool SetPublicKeyCheck(ContainerImage& image, ImportSlot slot, const KeyParameters& key,
                       DerBlob givenPublic) {
    const uint32_t length = key.length;
    const SecureBlob& field = KeyFieldOf(image.primary, slot);
    const SecureBlob& mask = image.masks.mask;
    SecureBlob& check = PropertiesOf(image, slot).publicKeyCheck;
    if (!check.Allocate(kPublicKeyCheckSize)) return false;
    if (givenPublic.data == nullptr) {
        return PublicKeyCheckValue(check.data(), field.data(), length, mask.data(), length,
                                   key.curve, MaskStep::kDivide);
    }
    uint8_t computed[128];
    if (givenPublic.length < kPublicKeyCheckSize || givenPublic.length > 2 * length ||
        !PublicKeyFromPrivate(computed, field.data(), length, mask.data(), length, key.curve,
                              MaskStep::kDivide) ||
        std::memcmp(computed, givenPublic.data, givenPublic.length) != 0) {
        return false;
    }
    std::memcpy(check.data(), givenPublic.data, kPublicKeyCheckSize);
    return true;
}

// Second copy: the same key under the mask of masks2.key (fresh for a new container).
bool MaskSecondCopy(ContainerImage& image, ImportSlot slot, const KeyParameters& key,
                    MaskDraw draw) {
    const uint32_t length = key.length;
    SecureBlob& field = KeyFieldOf(image.primary2, slot);
    MaskFileRecord& masks2 = image.masks2;
    if (!field.Assign(KeyFieldOf(image.primary, slot))) return false;
    if (draw == MaskDraw::kFresh && !masks2.mask.Allocate(length)) return false;
    return masks2.mask.size() == length &&
           ReplaceMask(field.data(), length, image.masks.mask.data(), length, masks2.mask.data(),
                       key.curve, draw);
}

}  // namespace

ImportResult ImportPrivateKey(ContainerImage& image, ImportSlot slot, uint32_t keySpec,
                              const char* algorithm, const char* curve, const char* digest,
                              DerBlob privateKey) {
    KeyParameters key;
    const ImportResult properties =
        SetProperties(image, slot, keySpec, algorithm, curve, digest, key);
    if (properties != ImportResult::kStored) return properties;
    DerBlob material, givenPublic;
    SplitKeyBlob(privateKey, key.length, &material, &givenPublic);
    if (material.length == 0 || material.length % key.length != 0) return ImportResult::kRejected;
    const MaskDraw draw = slot == ImportSlot::kFirstKey ? MaskDraw::kFresh : MaskDraw::kGiven;
    const bool stored = MaskFirstCopy(image, slot, key, material, draw) &&
                        SetPublicKeyCheck(image, slot, key, givenPublic) &&
                        MaskSecondCopy(image, slot, key, draw);
    return stored ? ImportResult::kStored : ImportResult::kRejected;
}

bool ImportedPublicKey(const ContainerImage& image, ImportSlot slot, uint8_t* out,
                       size_t* length) {
    const bool first = slot == ImportSlot::kFirstKey;
    const KeyProperties& properties = first ? image.header.firstKey : image.header.secondKey;
    const SecureBlob& key = first ? image.primary.firstKey : image.primary.secondKey;
    const char* curve = ParamSetCanonicalOidText(properties.publicKeyParamSet.c_str());
    const size_t keyLength = key.size();
    if (curve == nullptr || keyLength == 0 || keyLength > 64 ||
        !PublicKeyFromPrivate(out, key.data(), keyLength, image.masks.mask.data(),
                              image.masks.mask.size(), curve, MaskStep::kDivide)) {
        return false;
    }
    *length = 2 * keyLength;
    return true;
}

}  // namespace keymend

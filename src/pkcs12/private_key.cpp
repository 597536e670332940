// The PKCS#8 private key (RFC 5208, RFC 4491, RFC 9215) stored masked into a container image.
#include <cstring>

#include "container/protection.h"
#include "crypto/ec/key_mask.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "asn1/der_strict.h"
#include "pkcs12/pkcs12_internal.h"
#include "pkcs12/pkcs12.h"

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

KeyProperties& PropertiesOf(ContainerImage& image, int mode) {
    return mode == kPkcs12NewContainer ? image.header.firstKey : image.header.secondKey;
}

SecureBlob& KeyFieldOf(KeyFileRecord& record, int mode) {
    return mode == kPkcs12NewContainer ? record.firstKey : record.secondKey;
}

}  // namespace

bool StorePrivateKey(DerBlob plaintext, Pkcs12ReadState& state) {
    if (state.image == nullptr) return false;
    ContainerImage& image = *state.image;
    const int mode = state.mode;

    DerCursor cursor = DerCursorOver(plaintext);
    DerBlob info, version, algorithmId, parameters, privateKey;
    if (!DerReadCounted(cursor, kDerSequence, &info, 3, 4)) return false;
    DerCursor infoCursor = DerCursorOver(info);
    if (!DerReadExact(infoCursor, kDerInteger, &version) || version.length == 0 ||
        (version.length > 1 && version.data[0] != 0))
        return false;
    if (!DerReadCounted(infoCursor, kDerSequence, &algorithmId, 2, 2)) return false;
    DerCursor algorithmCursor = DerCursorOver(algorithmId);
    OidText algorithm, curveOid, digestOid;
    // The parameters name the curve and, optionally, the digest (RFC 9215 writes the curve only
    // for the 2012 sets that imply their digest).
    if (!DerReadOid(algorithmCursor, algorithm) ||
        !DerReadCounted(algorithmCursor, kDerSequence, &parameters, 1, 2))
        return false;
    DerCursor parametersCursor = DerCursorOver(parameters);
    if (!DerReadOid(parametersCursor, curveOid)) return false;
    if (parametersCursor.remaining > 0 && !DerReadOid(parametersCursor, digestOid)) return false;
    if (!DerReadExact(infoCursor, kDerOctetString, &privateKey)) return false;

    KeyProperties& properties = PropertiesOf(image, mode);
    OidText storedAlgorithm;
    if (!AlgorithmOidForKeyUse(algorithm.c_str(), state.keySpec, storedAlgorithm)) return false;
    const uint32_t providerType = ProviderTypeOfOid(storedAlgorithm);
    const uint32_t keyLength = KeyLengthOfProviderType(providerType);
    if (mode == kPkcs12SecondKey &&
        providerType != ProviderTypeOfOid(image.header.firstKey.algorithm)) {
        state.failure = Pkcs12Failure::kDifferentKeyType;
        return false;
    }
    const char* curve = ParamSetCanonicalOidText(curveOid.c_str());
    if (curve == nullptr || keyLength == 0 || CurveKeyLength(curve) != keyLength) return false;
    if (digestOid.empty() && !digestOid.Set(ImpliedDigestParamSet(providerType))) return false;
    if (!properties.algorithm.Set(storedAlgorithm.c_str()) ||
        !properties.publicKeyParamSet.Set(curveOid.c_str()) ||
        !properties.digestParamSet.Set(digestOid.c_str()))
        return false;

    DerBlob material, givenPublic;
    SplitKeyBlob(privateKey, keyLength, &material, &givenPublic);
    if (material.length == 0 || material.length % keyLength != 0) return false;

    // First copy: key * mask, the mask of masks.key (fresh for a new container).
    MaskFileRecord& masks = image.masks;
    MaskFileRecord& masks2 = image.masks2;
    SecureBlob& keyField = KeyFieldOf(image.primary, mode);
    if (!keyField.Assign(material.data, keyLength)) return false;
    if (mode == kPkcs12NewContainer && !masks.mask.Allocate(keyLength)) return false;
    if (masks.mask.size() != keyLength) return false;
    const MaskDraw draw = mode == kPkcs12NewContainer ? MaskDraw::kFresh : MaskDraw::kGiven;
    if (!ApplyMask(keyField.data(), keyLength, masks.mask.data(), keyLength, curve,
                   MaskStep::kMultiply, draw))
        return false;
    for (uint32_t offset = keyLength; offset < material.length; offset += keyLength) {
        if (!ApplyStoredMask(keyField.data(), keyLength, material.data + offset, keyLength, curve,
                             MaskStep::kMultiply))
            return false;
    }

    SecureBlob& check = properties.publicKeyCheck;
    if (!check.Allocate(kPublicKeyCheckSize)) return false;
    if (givenPublic.data == nullptr) {
        if (!PublicKeyCheckValue(check.data(), keyField.data(), keyLength, masks.mask.data(),
                                 keyLength, curve, true))
            return false;
    } else {
        uint8_t computed[128];
        if (givenPublic.length < kPublicKeyCheckSize || givenPublic.length > 2 * keyLength ||
            !PublicKeyFromPrivate(computed, keyField.data(), keyLength, masks.mask.data(),
                                  keyLength, curve, true) ||
            std::memcmp(computed, givenPublic.data, givenPublic.length) != 0)
            return false;
        std::memcpy(check.data(), givenPublic.data, kPublicKeyCheckSize);
    }

    // Second copy: the same key under the mask of masks2.key (fresh for a new container).
    SecureBlob& keyField2 = KeyFieldOf(image.primary2, mode);
    if (!keyField2.Assign(keyField)) return false;
    if (mode == kPkcs12NewContainer && !masks2.mask.Allocate(keyLength)) return false;
    if (masks2.mask.size() != keyLength) return false;
    return ReplaceMask(keyField2.data(), keyLength, masks.mask.data(), keyLength,
                       masks2.mask.data(), curve, draw);
}

}  // namespace keymend

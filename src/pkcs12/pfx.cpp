// The PFX envelope, the choice of the key's certificate and the password integrity MAC.
#include <cstring>

#include "container/protection.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/curve.h"
#include "crypto/ec/keypair.h"
#include "crypto/hash/hash.h"
#include "pkcs12/der_strict.h"
#include "pkcs12/pkcs12.h"

namespace keymend {

using pkcs12::ReadCounted;
using pkcs12::ReadExact;
using pkcs12::ReadOidEquals;

namespace {

constexpr const char* kOidData = "1.2.840.113549.1.7.1";

bool Contains(const SecureBlob& haystack, const uint8_t* needle, size_t length) {
    if (haystack.size() < length) return false;
    for (size_t offset = 0; offset + length <= haystack.size(); ++offset) {
        if (std::memcmp(haystack.data() + offset, needle, length) == 0) return true;
    }
    return false;
}

}  // namespace

bool ChoosePkcs12Certificate(Pkcs12ReadState& state) {
    if (state.certificates.empty()) return true;
    if (state.image == nullptr) return false;
    ContainerImage& image = *state.image;
    const bool first = state.mode == kPkcs12NewContainer;
    KeyProperties& properties = first ? image.header.firstKey : image.header.secondKey;
    const SecureBlob& key = first ? image.primary.firstKey : image.primary.secondKey;
    const char* curve = ParamSetCanonicalOidText(properties.publicKeyParamSet.c_str());
    const size_t keyLength = key.size();
    uint8_t publicKey[128];
    if (curve == nullptr || keyLength == 0 || keyLength > 64 ||
        !PublicKeyFromPrivate(publicKey, key.data(), keyLength, image.masks.mask.data(),
                              image.masks.mask.size(), curve, true))
        return false;
    for (const SecureBlob& candidate : state.certificates) {
        if (Contains(candidate, publicKey, 2 * keyLength))
            return properties.certificate.Assign(candidate);
    }
    return false;
}

bool VerifyPkcs12Mac(DerBlob macData, DerBlob macInput, const char* password) {
    if (password == nullptr) return false;
    DerCursor cursor = DerCursorOver(macData);
    DerBlob mac, digestAlgorithm, digest, salt, oidContent;
    uint64_t iterations = 0;
    uint32_t count = 0;
    if (!DerCountChildren(macData, &count) || count != 3 ||
        !ReadCounted(cursor, kDerSequence, &mac, 2, 2))
        return false;
    DerCursor macCursor = DerCursorOver(mac);
    if (!ReadCounted(macCursor, kDerSequence, &digestAlgorithm, 1, 2) ||
        !ReadExact(macCursor, kDerOctetString, &digest))
        return false;
    if (!ReadExact(cursor, kDerOctetString, &salt) ||
        !pkcs12::ReadUnsigned64(cursor, &iterations) || iterations > kMaxPbkdf2Iterations)
        return false;
    DerCursor algorithmCursor = DerCursorOver(digestAlgorithm);
    OidObject oid;
    if (!ReadExact(algorithmCursor, kDerObjectIdentifier, &oidContent) ||
        !OidFromContent(&oid, oidContent.data, 0, oidContent.length) || oid.arcs.empty() ||
        !pkcs12::ReadGostHashParameters(algorithmCursor))
        return false;

    // The digest's last arc picks the HMAC, the PBKDF2 block that holds octets 64..95 of the
    // derived stream, and the MAC length.
    uint32_t hmacId = kAlgHmacStreebog512, prf = kPrfStreebog512, block = 2;
    size_t macLength = 64;
    switch (oid.arcs.back()) {
        case 9:
            hmacId = kAlgHmacGostR341194, prf = kPrfGostR341194, block = 3, macLength = 32;
            break;
        case 26:
            return false;  // a 20-octet (SHA-1 sized) MAC has no GOST HMAC
        default:
            break;
    }
    SecureArray<kPbkdf2BlockOutput> key;
    SecureArray<kMaxDigestSize> computed;
    if (!Pbkdf2Block(key.data(), key.size(), prf, password, salt.data, salt.length, iterations,
                     block) ||
        !HmacById(macInput.data, macInput.length, computed.data(), macLength, key.data(),
                  key.size(), hmacId))
        return false;
    return digest.length == macLength && ConstantTimeEqual(digest.data, computed.data(), macLength);
}

bool ReadPkcs12(DerBlob file, const char* password, ContainerImagePtr& image, int mode,
                uint32_t keySpec, bool noMacVerify, Pkcs12Failure* failure) {
    if (failure != nullptr) *failure = Pkcs12Failure::kRejected;
    if (mode == kPkcs12NewContainer) {
        if (image) return false;
        image = CreateContainerImage();
        if (!image) return false;
    } else if (mode != kPkcs12SecondKey || !image) {
        return false;
    }
    if (password == nullptr) return false;
    Pkcs12ReadState state;
    state.password = password;
    state.image = image.get();
    state.mode = mode;
    state.keySpec = keySpec;

    bool ok = [&] {
        DerCursor cursor = DerCursorOver(file);
        DerBlob pfx, version, authSafe, wrapper, macInput, safes, macData;
        if (!ReadCounted(cursor, kDerSequence, &pfx, 3, 3)) return false;
        DerCursor pfxCursor = DerCursorOver(pfx);
        if (!ReadExact(pfxCursor, kDerInteger, &version) || version.length != 1 ||
            version.data[0] != 3)
            return false;
        if (!ReadCounted(pfxCursor, kDerSequence, &authSafe, 2, 2)) return false;
        DerCursor authCursor = DerCursorOver(authSafe);
        if (!ReadOidEquals(authCursor, kOidData) ||
            !ReadCounted(authCursor, kDerContextConstructed | 0, &wrapper, 1, 1))
            return false;
        DerCursor wrapperCursor = DerCursorOver(wrapper);
        if (!ReadExact(wrapperCursor, kDerOctetString, &macInput)) return false;

        DerCursor macInputCursor = DerCursorOver(macInput);
        if (!ReadExact(macInputCursor, kDerSequence, &safes)) return false;
        DerCursor safesCursor = DerCursorOver(safes);
        while (safesCursor.remaining > 0) {
            DerBlob contentInfo;
            if (!ReadExact(safesCursor, kDerSequence, &contentInfo) ||
                !ReadContentInfo(contentInfo, state))
                return false;
        }
        if (!ChoosePkcs12Certificate(state)) return false;
        if (noMacVerify) return true;
        // The MAC is checked last, after the whole content has been decrypted and parsed.
        return ReadExact(pfxCursor, kDerSequence, &macData) &&
               VerifyPkcs12Mac(macData, macInput, password);
    }();
    if (failure != nullptr) {
        *failure =
            ok ? Pkcs12Failure::kNone
               : (state.failure == Pkcs12Failure::kNone ? Pkcs12Failure::kRejected : state.failure);
    }
    return ok;
}

}  // namespace keymend

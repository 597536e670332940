// ContentInfo, safe bags and PBES2 decryption.
#include <cstring>
#include <utility>

#include "asn1/der_strict.h"
#include "crypto/context/secure_blob.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"
#include "pkcs12/pkcs12_internal.h"
#include "pkcs12/oids.h"

namespace keymend {


namespace {

bool TextEquals(const OidText& a, const char* b) {
    return a.Equals(b);
}

// A SafeBag: its type and its [0] value.
struct SafeBag {
    OidText bagId;
    DerBlob value;
};

bool ReadSafeBag(DerCursor& cursor, SafeBag* bag) {
    DerBlob content;
    if (!DerReadCounted(cursor, kDerSequence, &content, 2, 3)) return false;
    DerCursor inner = DerCursorOver(content);
    return DerReadOid(inner, bag->bagId) &&
           DerReadExact(inner, kDerContextConstructed | 0, &bag->value);
}

// ContentInfo content: its type and its [0] content.
bool ReadContentInfoParts(DerBlob contentInfo, OidText& type, DerBlob* content) {
    DerCursor cursor = DerCursorOver(contentInfo);
    return DerReadOid(cursor, type) && DerReadExact(cursor, kDerContextConstructed | 0, content);
}

// The one bag of a data safe ([0] content).
bool ReadDataSafeBag(DerBlob content, SafeBag* bag) {
    DerCursor cursor = DerCursorOver(content);
    DerBlob octets, safeContents;
    if (!DerReadExact(cursor, kDerOctetString, &octets)) return false;
    DerCursor safeCursor = DerCursorOver(octets);
    if (!DerReadCounted(safeCursor, kDerSequence, &safeContents, 1, 1)) return false;
    DerCursor bagCursor = DerCursorOver(safeContents);
    return ReadSafeBag(bagCursor, bag);
}

// The SafeContents of a data safe of a standard file ([0] content): one bag of any accepted
// type, or several certificate bags (a chain); *count receives the number of bags.
bool ReadStandardDataSafe(DerBlob content, DerBlob* safeContents, uint32_t* count) {
    DerCursor cursor = DerCursorOver(content);
    DerBlob octets;
    if (!DerReadExact(cursor, kDerOctetString, &octets)) return false;
    DerCursor safeCursor = DerCursorOver(octets);
    if (!DerReadCounted(safeCursor, kDerSequence, safeContents, 1, 0xFFFFFFFFu,
                        count))
        return false;
    if (*count == 1) return true;
    DerCursor bags = DerCursorOver(*safeContents);
    for (uint32_t i = 0; i < *count; ++i) {
        SafeBag bag;
        if (!ReadSafeBag(bags, &bag) || !TextEquals(bag.bagId, kOidCertBag)) return false;
    }
    return true;
}

// EncryptedData ([0] content of an encryptedData ContentInfo): its PBES2 AlgorithmIdentifier
// content and the encrypted content.
bool ReadEncryptedData(DerBlob content, DerBlob* algorithm, DerBlob* encrypted) {
    DerCursor cursor = DerCursorOver(content);
    DerBlob encryptedData, version, contentInfo;
    if (!DerReadCounted(cursor, kDerSequence, &encryptedData, 2, 2)) return false;
    DerCursor dataCursor = DerCursorOver(encryptedData);
    if (!DerReadExact(dataCursor, kDerInteger, &version) || version.length != 1 ||
        version.data[0] != 0)
        return false;
    if (!DerReadCounted(dataCursor, kDerSequence, &contentInfo, 3, 3)) return false;
    DerCursor infoCursor = DerCursorOver(contentInfo);
    return DerReadOidEquals(infoCursor, kOidData) && DerReadExact(infoCursor, kDerSequence, algorithm) &&
           DerReadExact(infoCursor, kDerContextSpecific | 0, encrypted);
}

// EncryptedPrivateKeyInfo of a shrouded key bag ([0] content).
bool ReadShroudedKey(DerBlob bagValue, DerBlob* algorithm, DerBlob* encrypted) {
    DerCursor cursor = DerCursorOver(bagValue);
    DerBlob info;
    uint32_t count = 0;
    if (!DerCountElements(bagValue, &count) || count != 1) return false;
    if (!DerReadCounted(cursor, kDerSequence, &info, 2, 2)) return false;
    DerCursor infoCursor = DerCursorOver(info);
    return DerReadExact(infoCursor, kDerSequence, algorithm) &&
           DerReadExact(infoCursor, kDerOctetString, encrypted);
}

// PBES2 parameters, every one checked before anything is derived.
struct Pbes2Parameters {
    DerBlob salt, iv;
    uint64_t iterations = 0;
    uint32_t prfSelector = 0;
    OidText paramSet;
};

bool ReadPbes2Parameters(DerBlob algorithm, Pbes2Parameters* p) {
    DerCursor cursor = DerCursorOver(algorithm);
    DerBlob params, kdf, kdfParams, prf, scheme, schemeParams;
    if (!DerReadOidEquals(cursor, kOidPbes2) || !DerReadCounted(cursor, kDerSequence, &params, 2, 2))
        return false;
    DerCursor paramsCursor = DerCursorOver(params);
    if (!DerReadCounted(paramsCursor, kDerSequence, &kdf, 2, 2)) return false;
    DerCursor kdfCursor = DerCursorOver(kdf);
    if (!DerReadOidEquals(kdfCursor, kOidPbkdf2) ||
        !DerReadCounted(kdfCursor, kDerSequence, &kdfParams, 3, 3))
        return false;
    DerCursor kdfParamsCursor = DerCursorOver(kdfParams);
    if (!DerReadExact(kdfParamsCursor, kDerOctetString, &p->salt) ||
        !DerReadUnsigned64(kdfParamsCursor, &p->iterations) ||
        !DerReadCounted(kdfParamsCursor, kDerSequence, &prf, 2, 2))
        return false;
    DerCursor prfCursor = DerCursorOver(prf);
    OidText prfOid;
    if (!DerReadOid(prfCursor, prfOid)) return false;
    if (TextEquals(prfOid, kOidHmacGostR341194)) {
        p->prfSelector = kPrfGostR341194;
    } else if (TextEquals(prfOid, kOidHmacStreebog512)) {
        p->prfSelector = kPrfStreebog512;
    } else {
        return false;
    }
    if (!ReadGostHashParameters(prfCursor)) return false;

    if (!DerReadCounted(paramsCursor, kDerSequence, &scheme, 2, 2)) return false;
    DerCursor schemeCursor = DerCursorOver(scheme);
    if (!DerReadOidEquals(schemeCursor, kOidGost28147) ||
        !DerReadCounted(schemeCursor, kDerSequence, &schemeParams, 2, 2))
        return false;
    DerCursor schemeParamsCursor = DerCursorOver(schemeParams);
    return DerReadExact(schemeParamsCursor, kDerOctetString, &p->iv) && p->iv.length == 8 &&
           DerReadOid(schemeParamsCursor, p->paramSet) && ParamSetIndex(p->paramSet.c_str()) >= 0;
}

// Adds the iterations of one decryption's derivations; false when one alone asks for too many.
bool AddProtectionWork(DerBlob algorithm, uint32_t forms, uint64_t* iterations,
                       Pkcs12Failure* failure, OidText* unsupported) {
    Pkcs12Protection p;
    OidText oid;
    if (!ReadPkcs12Protection(algorithm, &p, &oid)) {
        if (!oid.empty()) {
            *failure = Pkcs12Failure::kUnsupportedAlgorithm;
            if (unsupported != nullptr) *unsupported = oid;
        }
        return false;
    }
    if (p.iterations > kMaxPbkdf2Iterations) {
        *failure = Pkcs12Failure::kTooMuchWork;
        return false;
    }
    *iterations += Pkcs12ProtectionWork(p, forms);
    return true;
}

bool IsGostProtection(DerBlob algorithm) {
    Pkcs12Protection p;
    return ReadPkcs12Protection(algorithm, &p, nullptr) &&
           p.kind == Pkcs12Protection::Kind::kGostPbes2;
}

uint64_t g_derivations = 0;

}  // namespace

bool Pbes2ParametersValid(DerBlob algorithm) {
    Pbes2Parameters p;
    return ReadPbes2Parameters(algorithm, &p);
}

void CountPkcs12Derivation() {
    ++g_derivations;
}

bool Pkcs12DeriveKey(uint8_t* key32, uint32_t prfSelector, const char* password, DerBlob salt,
                     uint64_t iterations, uint32_t blockIndex) {
    CountPkcs12Derivation();
    return Pbkdf2Block(key32, kPbkdf2BlockOutput, prfSelector, password, salt.data, salt.length,
                       iterations, blockIndex);
}

uint64_t Pkcs12DerivationCount() {
    return g_derivations;
}

bool AddSafesWork(DerBlob safes, uint64_t* iterations, Pkcs12Failure* failure, bool standard,
                  uint32_t forms, OidText* unsupported) {
    DerCursor cursor = DerCursorOver(safes);
    for (uint32_t count = 0; cursor.remaining > 0; ++count) {
        if (count == kMaxPkcs12ContentInfos) {
            *failure = Pkcs12Failure::kTooMuchWork;
            return false;
        }
        DerBlob contentInfo, content, algorithm, encrypted, safeContents;
        OidText type;
        SafeBag bag;
        uint32_t bags = 0;
        if (!DerReadExact(cursor, kDerSequence, &contentInfo) ||
            !ReadContentInfoParts(contentInfo, type, &content))
            return false;
        if (TextEquals(type, kOidEncryptedData)) {
            if (!ReadEncryptedData(content, &algorithm, &encrypted) ||
                !AddProtectionWork(algorithm, forms, iterations, failure, unsupported))
                return false;
            continue;
        }
        if (!TextEquals(type, kOidData)) return false;
        if (standard) {
            // Several bags are all certificates; one bag is read below.
            if (!ReadStandardDataSafe(content, &safeContents, &bags)) return false;
            if (bags > 1) continue;
            DerCursor bagCursor = DerCursorOver(safeContents);
            if (!ReadSafeBag(bagCursor, &bag)) return false;
        } else if (!ReadDataSafeBag(content, &bag)) {
            return false;
        }
        if (TextEquals(bag.bagId, kOidShroudedKeyBag)) {
            if (!ReadShroudedKey(bag.value, &algorithm, &encrypted) ||
                !AddProtectionWork(algorithm, forms, iterations, failure, unsupported))
                return false;
        }
    }
    return true;
}

bool SafesUseGostProtection(DerBlob safes) {
    DerCursor cursor = DerCursorOver(safes);
    for (uint32_t count = 0; cursor.remaining > 0 && count < kMaxPkcs12ContentInfos; ++count) {
        DerBlob contentInfo, content, algorithm, encrypted, safeContents;
        OidText type;
        if (!DerReadExact(cursor, kDerSequence, &contentInfo) ||
            !ReadContentInfoParts(contentInfo, type, &content))
            return false;
        if (TextEquals(type, kOidEncryptedData)) {
            if (ReadEncryptedData(content, &algorithm, &encrypted) && IsGostProtection(algorithm))
                return true;
            continue;
        }
        DerCursor dataCursor = DerCursorOver(content);
        DerBlob octets;
        if (!TextEquals(type, kOidData) || !DerReadExact(dataCursor, kDerOctetString, &octets))
            continue;
        DerCursor safeCursor = DerCursorOver(octets);
        if (!DerReadExact(safeCursor, kDerSequence, &safeContents)) continue;
        DerCursor bags = DerCursorOver(safeContents);
        for (uint32_t i = 0; bags.remaining > 0 && i <= kMaxPkcs12SafeBags; ++i) {
            SafeBag bag;
            if (!ReadSafeBag(bags, &bag)) break;
            if (TextEquals(bag.bagId, kOidShroudedKeyBag) &&
                ReadShroudedKey(bag.value, &algorithm, &encrypted) && IsGostProtection(algorithm))
                return true;
        }
    }
    return false;
}

bool ReadContentInfo(DerBlob contentInfo, Pkcs12ReadState& state) {
    OidText type;
    DerBlob content;
    if (!ReadContentInfoParts(contentInfo, type, &content)) return false;
    if (TextEquals(type, kOidData)) return ReadDataSafe(content, state);
    if (TextEquals(type, kOidEncryptedData)) return ReadEncryptedSafe(content, state);
    return false;
}

bool ReadDataSafe(DerBlob content, Pkcs12ReadState& state) {
    SafeBag bag;
    if (state.standard) {
        DerBlob safeContents;
        uint32_t count = 0;
        if (!ReadStandardDataSafe(content, &safeContents, &count)) return false;
        DerCursor bags = DerCursorOver(safeContents);
        if (count > 1) {
            for (uint32_t i = 0; i < count; ++i) {
                if (++state.bags > kMaxPkcs12SafeBags) {
                    state.failure = Pkcs12Failure::kTooMuchWork;
                    return false;
                }
                if (!ReadSafeBag(bags, &bag) || !ReadCertBag(bag.value, state)) return false;
            }
            return true;
        }
        if (!ReadSafeBag(bags, &bag)) return false;
        // An unencrypted key (keyBag: [0] { PrivateKeyInfo }).
        if (TextEquals(bag.bagId, kOidKeyBag)) {
            uint32_t elements = 0;
            return DerCountElements(bag.value, &elements) && elements == 1 &&
                   StorePrivateKey(bag.value, state);
        }
    } else if (!ReadDataSafeBag(content, &bag)) {
        return false;
    }
    if (TextEquals(bag.bagId, kOidShroudedKeyBag)) return ReadShroudedKeyBag(bag.value, state);
    if (TextEquals(bag.bagId, kOidCertBag)) return ReadCertBag(bag.value, state);
    return false;
}

bool ReadEncryptedSafe(DerBlob content, Pkcs12ReadState& state) {
    DerBlob algorithm, encrypted;
    if (!ReadEncryptedData(content, &algorithm, &encrypted)) return false;

    // Decrypted in a private copy; the SecureBlob wipes it on every path.
    SecureBlob plain;
    uint32_t plainLength = 0;
    if (!DecryptPkcs12Content(algorithm, encrypted, state, plain, &plainLength)) return false;

    DerCursor plainCursor = DerCursorOver(plain.data(), plainLength);
    DerBlob safeContents;
    if (!DerReadExact(plainCursor, kDerSequence, &safeContents)) return false;
    DerCursor bags = DerCursorOver(safeContents);
    bool haveCertificate = false;
    while (bags.remaining > 0) {
        if (++state.bags > kMaxPkcs12SafeBags) {
            state.failure = Pkcs12Failure::kTooMuchWork;
            return false;
        }
        SafeBag bag;
        // Bags behind the safe's first certificate are optional extras: one that does not read
        // ends the walk without failing it.
        if (!ReadSafeBag(bags, &bag)) return haveCertificate;
        // Every certificate bag is a candidate: a chain often comes before the key's own
        // certificate. A certificate bag that does not read is skipped, as are other bags.
        if (TextEquals(bag.bagId, kOidCertBag) && ReadCertBag(bag.value, state))
            haveCertificate = true;
    }
    return true;
}

bool ReadCertBag(DerBlob bagValue, Pkcs12ReadState& state) {
    uint32_t count = 0;
    if (!DerCountElements(bagValue, &count) || count != 1) return false;
    DerCursor cursor = DerCursorOver(bagValue);
    DerBlob certBag, certValue, certificate;
    if (!DerReadCounted(cursor, kDerSequence, &certBag, 2, 2)) return false;
    DerCursor bagCursor = DerCursorOver(certBag);
    if (!DerReadOidEquals(bagCursor, kOidX509Certificate) ||
        !DerReadCounted(bagCursor, kDerContextConstructed | 0, &certValue, 1, 1))
        return false;
    DerCursor valueCursor = DerCursorOver(certValue);
    if (!DerReadExact(valueCursor, kDerOctetString, &certificate)) return false;
    SecureBlob copy;
    if (!copy.Assign(certificate.data, certificate.length)) return false;
    state.certificates.push_back(std::move(copy));
    return true;
}

bool ReadShroudedKeyBag(DerBlob bagValue, Pkcs12ReadState& state) {
    DerBlob algorithm, encrypted;
    if (!ReadShroudedKey(bagValue, &algorithm, &encrypted)) return false;
    SecureBlob plain;
    uint32_t plainLength = 0;
    if (!DecryptPkcs12Content(algorithm, encrypted, state, plain, &plainLength)) return false;
    return StorePrivateKey(DerBlob{plainLength, plain.data()}, state);
}

bool Pbes2Decrypt(DerBlob algorithm, const char* password, uint8_t* data, uint32_t length) {
    if (password == nullptr || (data == nullptr && length != 0)) return false;
    Pbes2Parameters p;
    if (!ReadPbes2Parameters(algorithm, &p) || p.iterations > kMaxPbkdf2Iterations) return false;
    SecureArray<kPbkdf2BlockOutput> key;
    if (!Pkcs12DeriveKey(key.data(), p.prfSelector, password, p.salt, p.iterations, 1))
        return false;
    if (length == 0) return true;
    return Gost28147Crypt(data, length, CipherDirection::kDecrypt, kGost28147Cfb, key.data(),
                          key.size(), p.paramSet.c_str(), p.iv.data);
}

}  // namespace keymend

// ContentInfo, safe bags and PBES2 decryption.
#include <cstring>
#include <utility>

#include "crypto/context/secure_blob.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"
#include "pkcs12/der_strict.h"
#include "pkcs12/pkcs12.h"

namespace keymend {

using pkcs12::ReadCounted;
using pkcs12::ReadExact;
using pkcs12::ReadOidEquals;
using pkcs12::ReadOidText;

namespace {

constexpr const char* kOidData = "1.2.840.113549.1.7.1";
constexpr const char* kOidEncryptedData = "1.2.840.113549.1.7.6";
constexpr const char* kOidShroudedKeyBag = "1.2.840.113549.1.12.10.1.2";
constexpr const char* kOidCertBag = "1.2.840.113549.1.12.10.1.3";
constexpr const char* kOidX509Certificate = "1.2.840.113549.1.9.22.1";
constexpr const char* kOidPbes2 = "1.2.840.113549.1.5.13";
constexpr const char* kOidPbkdf2 = "1.2.840.113549.1.5.12";
constexpr const char* kOidHmacGostR341194 = "1.2.643.2.2.10";
constexpr const char* kOidHmacStreebog512 = "1.2.643.7.1.1.4.2";
constexpr const char* kOidGost28147 = "1.2.643.2.2.21";

bool TextEquals(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// A SafeBag: its type and its [0] value.
struct SafeBag {
    char bagId[kOidTextBufferSize] = {};
    DerBlob value;
};

bool ReadSafeBag(DerCursor& cursor, SafeBag* bag) {
    DerBlob content;
    if (!ReadCounted(cursor, kDerSequence, &content, 2, 3)) return false;
    DerCursor inner = DerCursorOver(content);
    return ReadOidText(inner, bag->bagId) &&
           ReadExact(inner, kDerContextConstructed | 0, &bag->value);
}

}  // namespace

bool ReadContentInfo(DerBlob contentInfo, Pkcs12ReadState& state) {
    DerCursor cursor = DerCursorOver(contentInfo);
    char type[kOidTextBufferSize];
    DerBlob content;
    if (!ReadOidText(cursor, type) || !ReadExact(cursor, kDerContextConstructed | 0, &content))
        return false;
    if (TextEquals(type, kOidData)) return ReadDataSafe(content, state);
    if (TextEquals(type, kOidEncryptedData)) return ReadEncryptedSafe(content, state);
    return false;
}

bool ReadDataSafe(DerBlob content, Pkcs12ReadState& state) {
    DerCursor cursor = DerCursorOver(content);
    DerBlob octets, safeContents;
    if (!ReadExact(cursor, kDerOctetString, &octets)) return false;
    DerCursor safeCursor = DerCursorOver(octets);
    if (!ReadCounted(safeCursor, kDerSequence, &safeContents, 1, 1)) return false;
    DerCursor bagCursor = DerCursorOver(safeContents);
    SafeBag bag;
    if (!ReadSafeBag(bagCursor, &bag)) return false;
    if (TextEquals(bag.bagId, kOidShroudedKeyBag)) return ReadShroudedKeyBag(bag.value, state);
    if (TextEquals(bag.bagId, kOidCertBag)) return ReadCertBag(bag.value, state);
    return false;
}

bool ReadEncryptedSafe(DerBlob content, Pkcs12ReadState& state) {
    DerCursor cursor = DerCursorOver(content);
    DerBlob encryptedData, version, contentInfo, algorithm, encrypted;
    if (!ReadCounted(cursor, kDerSequence, &encryptedData, 2, 2)) return false;
    DerCursor dataCursor = DerCursorOver(encryptedData);
    if (!ReadExact(dataCursor, kDerInteger, &version) || version.length != 1 ||
        version.data[0] != 0)
        return false;
    if (!ReadCounted(dataCursor, kDerSequence, &contentInfo, 3, 3)) return false;
    DerCursor infoCursor = DerCursorOver(contentInfo);
    if (!ReadOidEquals(infoCursor, kOidData) || !ReadExact(infoCursor, kDerSequence, &algorithm) ||
        !ReadExact(infoCursor, kDerContextSpecific | 0, &encrypted))
        return false;

    // Decrypted in a private copy; the SecureBlob wipes it on every path.
    SecureBlob plain;
    if (!plain.Assign(encrypted.data, encrypted.length)) return false;
    if (!Pbes2Decrypt(algorithm, state.password, plain.data(), plain.size())) return false;

    DerCursor plainCursor = DerCursorOver(plain.data(), plain.size());
    DerBlob safeContents;
    if (!ReadExact(plainCursor, kDerSequence, &safeContents)) return false;
    DerCursor bags = DerCursorOver(safeContents);
    bool haveCertificate = false;
    while (bags.remaining > 0) {
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
    if (!DerCountChildren(bagValue, &count) || count != 1) return false;
    DerCursor cursor = DerCursorOver(bagValue);
    DerBlob certBag, certValue, certificate;
    if (!ReadCounted(cursor, kDerSequence, &certBag, 2, 2)) return false;
    DerCursor bagCursor = DerCursorOver(certBag);
    if (!ReadOidEquals(bagCursor, kOidX509Certificate) ||
        !ReadCounted(bagCursor, kDerContextConstructed | 0, &certValue, 1, 1))
        return false;
    DerCursor valueCursor = DerCursorOver(certValue);
    if (!ReadExact(valueCursor, kDerOctetString, &certificate)) return false;
    SecureBlob copy;
    if (!copy.Assign(certificate.data, certificate.length)) return false;
    state.certificates.push_back(std::move(copy));
    return true;
}

bool ReadShroudedKeyBag(DerBlob bagValue, Pkcs12ReadState& state) {
    DerCursor cursor = DerCursorOver(bagValue);
    DerBlob info, algorithm, encrypted;
    uint32_t count = 0;
    if (!DerCountChildren(bagValue, &count) || count != 1) return false;
    if (!ReadCounted(cursor, kDerSequence, &info, 2, 2)) return false;
    DerCursor infoCursor = DerCursorOver(info);
    if (!ReadExact(infoCursor, kDerSequence, &algorithm) ||
        !ReadExact(infoCursor, kDerOctetString, &encrypted))
        return false;
    SecureBlob plain;
    if (!plain.Assign(encrypted.data, encrypted.length)) return false;
    if (!Pbes2Decrypt(algorithm, state.password, plain.data(), plain.size())) return false;
    return StorePrivateKey(DerBlob{plain.size(), plain.data()}, state);
}

bool Pbes2Decrypt(DerBlob algorithm, const char* password, uint8_t* data, uint32_t length) {
    if (password == nullptr || (data == nullptr && length != 0)) return false;
    DerCursor cursor = DerCursorOver(algorithm);
    DerBlob params, kdf, kdfParams, prf, scheme, schemeParams, salt, iv;
    if (!ReadOidEquals(cursor, kOidPbes2) || !ReadCounted(cursor, kDerSequence, &params, 2, 2))
        return false;
    DerCursor paramsCursor = DerCursorOver(params);
    if (!ReadCounted(paramsCursor, kDerSequence, &kdf, 2, 2)) return false;
    DerCursor kdfCursor = DerCursorOver(kdf);
    if (!ReadOidEquals(kdfCursor, kOidPbkdf2) ||
        !ReadCounted(kdfCursor, kDerSequence, &kdfParams, 3, 3))
        return false;
    DerCursor kdfParamsCursor = DerCursorOver(kdfParams);
    uint64_t iterations = 0;
    if (!ReadExact(kdfParamsCursor, kDerOctetString, &salt) ||
        !pkcs12::ReadUnsigned64(kdfParamsCursor, &iterations) ||
        iterations > kMaxPbkdf2Iterations ||
        !ReadCounted(kdfParamsCursor, kDerSequence, &prf, 2, 2))
        return false;
    DerCursor prfCursor = DerCursorOver(prf);
    char prfOid[kOidTextBufferSize];
    if (!ReadOidText(prfCursor, prfOid)) return false;
    uint32_t selector = 0;
    if (TextEquals(prfOid, kOidHmacGostR341194)) {
        selector = kPrfGostR341194;
    } else if (TextEquals(prfOid, kOidHmacStreebog512)) {
        selector = kPrfStreebog512;
    } else {
        return false;
    }
    if (!pkcs12::ReadGostHashParameters(prfCursor)) return false;

    if (!ReadCounted(paramsCursor, kDerSequence, &scheme, 2, 2)) return false;
    DerCursor schemeCursor = DerCursorOver(scheme);
    char paramSet[kOidTextBufferSize];
    if (!ReadOidEquals(schemeCursor, kOidGost28147) ||
        !ReadCounted(schemeCursor, kDerSequence, &schemeParams, 2, 2))
        return false;
    DerCursor schemeParamsCursor = DerCursorOver(schemeParams);
    if (!ReadExact(schemeParamsCursor, kDerOctetString, &iv) || iv.length != 8 ||
        !ReadOidText(schemeParamsCursor, paramSet) || ParamSetIndex(paramSet) < 0)
        return false;

    SecureArray<kPbkdf2BlockOutput> key;
    if (!Pbkdf2Block(key.data(), key.size(), selector, password, salt.data, salt.length, iterations,
                     1))
        return false;
    if (length == 0) return true;
    return Gost28147Crypt(data, length, true, kGost28147Cfb, key.data(), key.size(), paramSet,
                          iv.data);
}

}  // namespace keymend

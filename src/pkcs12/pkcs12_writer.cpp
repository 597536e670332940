// The PKCS#12 writer: DER built bottom up, each element in its own wiped buffer.
#include "pkcs12/pkcs12_writer.h"
#include "pkcs12/oids.h"

#include <cstring>
#include <initializer_list>

#include "crypto/context/crypto_context.h"
#include "crypto/gost28147/gost28147.h"
#include "crypto/hash/hash.h"
#include "crypto/sha/sha.h"
#include "unicode/utf8.h"

namespace keymend {

namespace {

constexpr uint8_t kDerBmpString = 0x1E;
constexpr uint32_t kIvSize = 8;
constexpr uint32_t kMacSize = 64;
constexpr uint32_t kSha1Size = 20;
// PBKDF2 blocks: the cipher key is the first 32 octets of block 1, the MAC key octets 64..95 of
// the stream, i.e. the first 32 of block 2 (the HMAC gives 64 octets a block).
constexpr uint32_t kCipherKeyBlock = 1;
constexpr uint32_t kMacKeyBlock = 2;

DerBlob View(const SecureBlob& blob) {
    return DerBlob{blob.size(), blob.data()};
}

// One element: identifier, definite length, the parts joined.
bool Element(uint8_t identifier, std::initializer_list<DerBlob> parts, SecureBlob& out) {
    uint64_t length = 0;
    for (const DerBlob& part : parts) length += part.data != nullptr ? part.length : 0;
    if (length > 0xFFFF'FFF0u) return false;
    const auto head = [&](DerCursor& cursor) {
        return DerWriteIdentifier(identifier & kDerTagMask, identifier & kDerClassMask, cursor) &&
               DerWriteLength(static_cast<uint32_t>(length), cursor);
    };
    DerCursor measure = DerMeasuringCursor();
    if (!head(measure) || !out.Allocate(measure.remaining + static_cast<uint32_t>(length))) {
        return false;
    }
    DerCursor cursor = DerCursorOver(out.data(), out.size());
    if (!head(cursor)) return false;
    for (const DerBlob& part : parts) {
        if (part.data == nullptr || part.length == 0) continue;
        std::memcpy(cursor.position, part.data, part.length);
        cursor.position += part.length;
    }
    return true;
}

bool Oid(const char* text, SecureBlob& out) {
    DerCursor measure = DerMeasuringCursor();
    if (text == nullptr ||
        !DerWriteValue(kDerDefaultIdentifier, DerKind::kOidText, text, measure) ||
        !out.Allocate(measure.remaining)) {
        return false;
    }
    DerCursor cursor = DerCursorOver(out.data(), out.size());
    return DerWriteValue(kDerDefaultIdentifier, DerKind::kOidText, text, cursor);
}

bool Integer(int32_t value, SecureBlob& out) {
    DerCursor measure = DerMeasuringCursor();
    if (!DerWriteValue(kDerDefaultIdentifier, DerKind::kInteger, &value, measure) ||
        !out.Allocate(measure.remaining)) {
        return false;
    }
    DerCursor cursor = DerCursorOver(out.data(), out.size());
    return DerWriteValue(kDerDefaultIdentifier, DerKind::kInteger, &value, cursor);
}

// SEQUENCE { OID, value } with the OID given as text.
bool OidAndValue(const char* oid, DerBlob value, SecureBlob& out) {
    SecureBlob encodedOid;
    return Oid(oid, encodedOid) && Element(kDerSequence, {View(encodedOid), value}, out);
}

// The name as UTF-16 big-endian code units: UTF-8 when it decodes as such, else one character
// per octet.
bool BmpUnits(DerBlob name, SecureBlob& out) {
    bool utf8 = true;
    uint32_t units = 0;
    for (uint32_t i = 0; i < name.length && utf8;) {
        uint32_t code = 0;
        const size_t n = Utf8Decode(name.data + i, name.length - i, &code);
        utf8 = n != 0;
        i += static_cast<uint32_t>(n);
        units += code > 0xFFFF ? 2 : 1;
    }
    if (!utf8) units = name.length;
    if (units == 0) return true;
    if (!out.Allocate(2 * units)) return false;
    uint8_t* at = out.data();
    const auto put = [&at](uint32_t unit) {
        *at++ = static_cast<uint8_t>(unit >> 8);
        *at++ = static_cast<uint8_t>(unit);
    };
    for (uint32_t i = 0; i < name.length;) {
        uint32_t code = name.data[i];
        const size_t n = utf8 ? Utf8Decode(name.data + i, name.length - i, &code) : 1;
        i += static_cast<uint32_t>(n);
        if (code > 0xFFFF) {
            code -= 0x10000;
            put(0xD800 | (code >> 10));
            put(0xDC00 | (code & 0x3FF));
        } else {
            put(code);
        }
    }
    return true;
}

// Attribute ::= SEQUENCE { OID, SET { value } }
bool Attribute(const char* oid, uint8_t identifier, DerBlob content, SecureBlob& out) {
    SecureBlob value, set;
    return Element(identifier, {content}, value) && Element(kDerSet, {View(value)}, set) &&
           OidAndValue(oid, View(set), out);
}

// A SET OF in DER order: the encodings sorted as octet strings (a shorter one that is a prefix
// of a longer one first).
bool SortedSet(const SecureBlob& a, const SecureBlob& b, SecureBlob& out) {
    const uint32_t common = a.size() < b.size() ? a.size() : b.size();
    const int order = std::memcmp(a.data(), b.data(), common);
    const bool aFirst = order < 0 || (order == 0 && a.size() <= b.size());
    return aFirst ? Element(kDerSet, {View(a), View(b)}, out)
                  : Element(kDerSet, {View(b), View(a)}, out);
}

// PBES2 AlgorithmIdentifier (RFC 8018 appendix A.4) with PBKDF2 over HMAC GOST R 34.11-2012-512
// and GOST 28147-89 CFB (RFC 4357 section 10.3 parameters).
bool Pbes2Algorithm(const uint8_t* salt, const uint8_t* iv, const char* paramSet, SecureBlob& out) {
    SecureBlob saltOctets, iterations, null, prf, kdfParams, kdf, ivOctets, paramSetOid,
        schemeParams, scheme, params;
    return Element(kDerOctetString, {DerBlob{kPkcs12ExportSaltSize, salt}}, saltOctets) &&
           Integer(static_cast<int32_t>(kPkcs12ExportIterations), iterations) &&
           Element(kDerNull, {}, null) && OidAndValue(kOidHmacStreebog512, View(null), prf) &&
           Element(kDerSequence, {View(saltOctets), View(iterations), View(prf)}, kdfParams) &&
           OidAndValue(kOidPbkdf2, View(kdfParams), kdf) &&
           Element(kDerOctetString, {DerBlob{kIvSize, iv}}, ivOctets) &&
           Oid(paramSet, paramSetOid) &&
           Element(kDerSequence, {View(ivOctets), View(paramSetOid)}, schemeParams) &&
           OidAndValue(kOidGost28147, View(schemeParams), scheme) &&
           Element(kDerSequence, {View(kdf), View(scheme)}, params) &&
           OidAndValue(kOidPbes2, View(params), out);
}

// Encrypts `data` in place under a fresh salt and IV; `algorithm` receives their PBES2
// AlgorithmIdentifier.
bool Pbes2Encrypt(SecureBlob& data, const char* password, const char* paramSet,
                  SecureBlob& algorithm) {
    uint8_t salt[kPkcs12ExportSaltSize];
    uint8_t iv[kIvSize];
    SecureArray<kPbkdf2BlockOutput> key;
    return RandomBytes(sizeof salt, salt) && RandomBytes(sizeof iv, iv) &&
           Pbes2Algorithm(salt, iv, paramSet, algorithm) &&
           Pbkdf2Block(key.data(), key.size(), kPrfStreebog512, password, salt, sizeof salt,
                       kPkcs12ExportIterations, kCipherKeyBlock) &&
           Gost28147Crypt(data.data(), data.size(), CipherDirection::kEncrypt, kGost28147Cfb,
                          key.data(), key.size(), paramSet, iv);
}

// PrivateKeyInfo (RFC 5208) with the key as an OCTET STRING of little-endian octets.
bool PrivateKeyInfo(const Pkcs12ExportKey& key, SecureBlob& out) {
    SecureBlob version, curve, digest, parameters, algorithm, inner, privateKey;
    return Integer(0, version) && Oid(key.curve, curve) && Oid(key.digest, digest) &&
           Element(kDerSequence, {View(curve), View(digest)}, parameters) &&
           OidAndValue(key.algorithm, View(parameters), algorithm) &&
           Element(kDerOctetString, {key.privateKey}, inner) &&
           Element(kDerOctetString, {View(inner)}, privateKey) &&
           Element(kDerSequence, {View(version), View(algorithm), View(privateKey)}, out);
}

// data ContentInfo holding the shrouded key bag.
bool KeyContentInfo(const Pkcs12ExportKey& key, const char* password, const SecureBlob& keyId,
                    SecureBlob& out) {
    SecureBlob plain, algorithm, encrypted, info, bagValue, name, nameAttribute, idAttribute,
        attributes, bag, safeContents, octets, content;
    if (!PrivateKeyInfo(key, plain) || !Pbes2Encrypt(plain, password, key.paramSet, algorithm) ||
        !Element(kDerOctetString, {View(plain)}, encrypted) ||
        !Element(kDerSequence, {View(algorithm), View(encrypted)}, info) ||
        !Element(kDerContextConstructed | 0, {View(info)}, bagValue) ||
        !Attribute(kOidLocalKeyId, kDerOctetString, View(keyId), idAttribute) ||
        !BmpUnits(key.friendlyName, name)) {
        return false;
    }
    if (name.empty()) {
        if (!Element(kDerSet, {View(idAttribute)}, attributes)) return false;
    } else if (!Attribute(kOidFriendlyName, kDerBmpString, View(name), nameAttribute) ||
               !SortedSet(nameAttribute, idAttribute, attributes)) {
        return false;
    }
    SecureBlob bagId;
    return Oid(kOidShroudedKeyBag, bagId) &&
           Element(kDerSequence, {View(bagId), View(bagValue), View(attributes)}, bag) &&
           Element(kDerSequence, {View(bag)}, safeContents) &&
           Element(kDerOctetString, {View(safeContents)}, octets) &&
           Element(kDerContextConstructed | 0, {View(octets)}, content) &&
           OidAndValue(kOidData, View(content), out);
}

// encryptedData ContentInfo holding the certificate bag.
bool CertificateContentInfo(const Pkcs12ExportKey& key, const char* password,
                            const SecureBlob& keyId, SecureBlob& out) {
    SecureBlob certOctets, certValue, certBag, bagValue, idAttribute, attributes, bagId, bag, plain,
        algorithm, dataOid, encrypted, contentInfo, version, encryptedData, content;
    return Element(kDerOctetString, {key.certificate}, certOctets) &&
           Element(kDerContextConstructed | 0, {View(certOctets)}, certValue) &&
           OidAndValue(kOidX509Certificate, View(certValue), certBag) &&
           Element(kDerContextConstructed | 0, {View(certBag)}, bagValue) &&
           Attribute(kOidLocalKeyId, kDerOctetString, View(keyId), idAttribute) &&
           Element(kDerSet, {View(idAttribute)}, attributes) && Oid(kOidCertBag, bagId) &&
           Element(kDerSequence, {View(bagId), View(bagValue), View(attributes)}, bag) &&
           Element(kDerSequence, {View(bag)}, plain) &&
           Pbes2Encrypt(plain, password, key.paramSet, algorithm) && Oid(kOidData, dataOid) &&
           Element(kDerContextSpecific | 0, {View(plain)}, encrypted) &&
           Element(kDerSequence, {View(dataOid), View(algorithm), View(encrypted)}, contentInfo) &&
           Integer(0, version) &&
           Element(kDerSequence, {View(version), View(contentInfo)}, encryptedData) &&
           Element(kDerContextConstructed | 0, {View(encryptedData)}, content) &&
           OidAndValue(kOidEncryptedData, View(content), out);
}

// MacData over the authSafe content octets, as the reader verifies it.
bool MacData(const SecureBlob& macInput, const char* password, SecureBlob& out) {
    uint8_t salt[kPkcs12ExportSaltSize];
    SecureArray<kPbkdf2BlockOutput> key;
    uint8_t mac[kMacSize];
    SecureBlob null, digestAlgorithm, digest, digestInfo, saltOctets, iterations;
    return RandomBytes(sizeof salt, salt) &&
           Pbkdf2Block(key.data(), key.size(), kPrfStreebog512, password, salt, sizeof salt,
                       kPkcs12ExportIterations, kMacKeyBlock) &&
           HmacById(macInput.data(), macInput.size(), mac, sizeof mac, key.data(), key.size(),
                    kAlgHmacStreebog512) &&
           Element(kDerNull, {}, null) &&
           OidAndValue(kOidStreebog512, View(null), digestAlgorithm) &&
           Element(kDerOctetString, {DerBlob{kMacSize, mac}}, digest) &&
           Element(kDerSequence, {View(digestAlgorithm), View(digest)}, digestInfo) &&
           Element(kDerOctetString, {DerBlob{sizeof salt, salt}}, saltOctets) &&
           Integer(static_cast<int32_t>(kPkcs12ExportIterations), iterations) &&
           Element(kDerSequence, {View(digestInfo), View(saltOctets), View(iterations)}, out);
}

}  // namespace

bool WritePkcs12(const Pkcs12ExportKey& key, const char* password, SecureBlob& out) {
    out.Reset();
    if (password == nullptr || key.privateKey.data == nullptr || key.publicKey.data == nullptr ||
        key.paramSet == nullptr) {
        return false;
    }
    const DerBlob idSource = key.certificate.data != nullptr ? key.certificate : key.publicKey;
    SecureBlob keyId, certificateInfo, keyInfo, safes, version, octets, wrapper, authSafe, mac;
    const bool ok = keyId.Allocate(kSha1Size) &&
                    ShaHash(ShaAlgorithm::kSha1, idSource.data, idSource.length, keyId.data()) &&
                    (key.certificate.data == nullptr ||
                     CertificateContentInfo(key, password, keyId, certificateInfo)) &&
                    KeyContentInfo(key, password, keyId, keyInfo) &&
                    Element(kDerSequence, {View(certificateInfo), View(keyInfo)}, safes) &&
                    Integer(3, version) && Element(kDerOctetString, {View(safes)}, octets) &&
                    Element(kDerContextConstructed | 0, {View(octets)}, wrapper) &&
                    OidAndValue(kOidData, View(wrapper), authSafe) &&
                    MacData(safes, password, mac) &&
                    Element(kDerSequence, {View(version), View(authSafe), View(mac)}, out);
    if (!ok) out.Reset();
    return ok;
}

}  // namespace keymend

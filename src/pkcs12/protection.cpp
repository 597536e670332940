// The protection of encrypted safes and shrouded keys: which algorithm an AlgorithmIdentifier
// names, what deriving its key costs, and the decryption under it. GOST PBES2 is handed to
// Pbes2Decrypt unchanged; the standard forms are PBES2 with PBKDF2 over HMAC-SHA and a CBC
// cipher (RFC 8018 sections 6.2 and 5.2, appendix B.2), and the RFC 7292 PBEs (appendix C).
#include <cstring>

#include "asn1/der_strict.h"
#include "crypto/aes/aes.h"
#include "crypto/cbc/cbc.h"
#include "crypto/des/des.h"
#include "crypto/rc2/rc2.h"
#include "pkcs12/pkcs12_internal.h"
#include "pkcs12/pkcs12_kdf.h"
#include "pkcs12/oids.h"

namespace keymend {

enum class Pkcs12CipherFamily : uint8_t { kAes, kDes, kRc2 };

struct Pkcs12Cipher {
    const char* oid;
    Pkcs12CipherFamily family;
    uint32_t keyLength;      // octets
    uint32_t effectiveBits;  // RC2 only
};

namespace {

// PBES2 encryption schemes (RFC 8018 appendix B.2, NIST's AES object identifiers).
constexpr Pkcs12Cipher kPbes2Ciphers[] = {
    {"2.16.840.1.101.3.4.1.2", Pkcs12CipherFamily::kAes, 16, 0},   // aes128-CBC
    {"2.16.840.1.101.3.4.1.22", Pkcs12CipherFamily::kAes, 24, 0},  // aes192-CBC
    {"2.16.840.1.101.3.4.1.42", Pkcs12CipherFamily::kAes, 32, 0},  // aes256-CBC
    {"1.2.840.113549.3.7", Pkcs12CipherFamily::kDes, 24, 0},       // des-EDE3-CBC
};

// The RFC 7292 appendix C PBEs that use a block cipher in CBC mode, all with SHA-1.
constexpr Pkcs12Cipher kPkcs12Pbes[] = {
    {"1.2.840.113549.1.12.1.3", Pkcs12CipherFamily::kDes, 24, 0},    // 3-key triple DES
    {"1.2.840.113549.1.12.1.4", Pkcs12CipherFamily::kDes, 16, 0},    // 2-key triple DES
    {"1.2.840.113549.1.12.1.5", Pkcs12CipherFamily::kRc2, 16, 128},  // 128-bit RC2
    {"1.2.840.113549.1.12.1.6", Pkcs12CipherFamily::kRc2, 5, 40},    // 40-bit RC2
};

// PBKDF2 pseudo-random functions (RFC 8018 appendix B.1).
struct Pkcs12Prf {
    const char* oid;
    ShaAlgorithm hash;
};
constexpr Pkcs12Prf kPbkdf2Prfs[] = {
    {"1.2.840.113549.2.7", ShaAlgorithm::kSha1},     {"1.2.840.113549.2.8", ShaAlgorithm::kSha224},
    {"1.2.840.113549.2.9", ShaAlgorithm::kSha256},   {"1.2.840.113549.2.10", ShaAlgorithm::kSha384},
    {"1.2.840.113549.2.11", ShaAlgorithm::kSha512},
};

template <typename Row, size_t N>
const Row* FindRow(const Row (&table)[N], const OidText& oid) {
    for (const Row& row : table) {
        if (oid.Equals(row.oid)) return &row;
    }
    return nullptr;
}

uint32_t BlockSize(const Pkcs12Cipher& cipher) {
    return cipher.family == Pkcs12CipherFamily::kAes ? kAesBlockSize : kDesBlockSize;
}

// Absent, or NULL and nothing after it.
bool ReadNullParameters(DerCursor& cursor) {
    if (cursor.remaining == 0) return true;
    DerBlob content;
    return DerReadExact(cursor, kDerNull, &content) && content.length == 0 && DerAtEnd(cursor);
}

bool Unsupported(OidText* unsupported, const OidText& oid) {
    if (unsupported != nullptr) *unsupported = oid;
    return false;
}

// PBES2-params (their SEQUENCE content); `algorithm` is the whole AlgorithmIdentifier content, for
// the GOST checks.
bool ReadPbes2(DerBlob params, DerBlob algorithm, Pkcs12Protection* p, OidText* unsupported) {
    DerCursor cursor = DerCursorOver(params);
    DerBlob kdf, kdfParams, scheme;
    OidText kdfOid, schemeOid, prfOid;
    if (!DerReadCounted(cursor, kDerSequence, &kdf, 1, 2) ||
        !DerReadCounted(cursor, kDerSequence, &scheme, 1, 2) || !DerAtEnd(cursor))
        return false;
    DerCursor kdfCursor = DerCursorOver(kdf);
    DerCursor schemeCursor = DerCursorOver(scheme);
    if (!DerReadOid(kdfCursor, kdfOid) || !DerReadOid(schemeCursor, schemeOid)) return false;
    if (!kdfOid.Equals(kOidPbkdf2)) return Unsupported(unsupported, kdfOid);
    // PBKDF2-params: salt, iterationCount, keyLength OPTIONAL, prf DEFAULT hmacWithSHA1.
    if (!DerReadCounted(kdfCursor, kDerSequence, &kdfParams, 2, 4) || !DerAtEnd(kdfCursor))
        return false;
    DerCursor paramsCursor = DerCursorOver(kdfParams);
    DerBlob keyLength{}, prf{};
    if (!DerReadExact(paramsCursor, kDerOctetString, &p->salt) ||
        !DerReadUnsigned64(paramsCursor, &p->iterations) ||
        !DerReadOptional(paramsCursor, kDerInteger, &keyLength) ||
        !DerReadOptional(paramsCursor, kDerSequence, &prf) || !DerAtEnd(paramsCursor))
        return false;
    DerCursor prfCursor = DerCursorOver(prf);
    if (prf.data != nullptr && !DerReadOid(prfCursor, prfOid)) return false;

    if (prfOid.Equals(kOidHmacGostR341194) || prfOid.Equals(kOidHmacStreebog512)) {
        // The GOST profile, checked by its own exact rules.
        if (!schemeOid.Equals(kOidGost28147)) return Unsupported(unsupported, schemeOid);
        Pkcs12Protection gost;
        gost.kind = Pkcs12Protection::Kind::kGostPbes2;
        gost.salt = p->salt;
        gost.iterations = p->iterations;
        *p = gost;
        return Pbes2ParametersValid(algorithm);
    }
    p->kind = Pkcs12Protection::Kind::kPbes2;
    p->prf = ShaAlgorithm::kSha1;
    if (prf.data != nullptr) {
        const Pkcs12Prf* row = FindRow(kPbkdf2Prfs, prfOid);
        if (row == nullptr) return Unsupported(unsupported, prfOid);
        p->prf = row->hash;
        if (!ReadNullParameters(prfCursor)) return false;
    }
    p->cipher = FindRow(kPbes2Ciphers, schemeOid);
    if (p->cipher == nullptr) return Unsupported(unsupported, schemeOid);
    // A keyLength, when given, must be the cipher's.
    if (keyLength.data != nullptr &&
        (keyLength.length != 1 || keyLength.data[0] != p->cipher->keyLength))
        return false;
    return DerReadExact(schemeCursor, kDerOctetString, &p->iv) && DerAtEnd(schemeCursor) &&
           p->iv.length == BlockSize(*p->cipher);
}

// Decrypts `encrypted` into plain under the cipher and key, then checks and strips the padding.
bool CbcDecryptPadded(const Pkcs12Cipher& cipher, const uint8_t* key, const uint8_t* iv,
                      DerBlob encrypted, SecureBlob& plain, uint32_t* plainLength) {
    const uint32_t block = BlockSize(cipher);
    if (encrypted.length == 0 || encrypted.length % block != 0) return false;
    if (plain.size() != encrypted.length && !plain.Allocate(encrypted.length)) return false;
    bool decrypted = false;
    switch (cipher.family) {
        case Pkcs12CipherFamily::kAes: {
            AesKey aes;
            decrypted = AesSetKey(aes, key, cipher.keyLength) &&
                        AesCbcDecrypt(aes, iv, encrypted.data, plain.data(), encrypted.length);
            break;
        }
        case Pkcs12CipherFamily::kDes: {
            DesKey des;
            decrypted = DesSetKey(des, key, cipher.keyLength) &&
                        DesCbcDecrypt(des, iv, encrypted.data, plain.data(), encrypted.length);
            break;
        }
        case Pkcs12CipherFamily::kRc2: {
            Rc2Key rc2;
            decrypted = Rc2SetKey(rc2, key, cipher.keyLength, cipher.effectiveBits) &&
                        Rc2CbcDecrypt(rc2, iv, encrypted.data, plain.data(), encrypted.length);
            break;
        }
    }
    size_t length = 0;
    if (!decrypted || !Pkcs7PlainLength(plain.data(), plain.size(), block, length)) return false;
    *plainLength = static_cast<uint32_t>(length);
    return true;
}

uint64_t Blocks(uint32_t octets, size_t blockOctets) {
    return (octets + blockOctets - 1) / blockOctets;
}

}  // namespace

bool MakePkcs12PasswordForms(const char* password, Pkcs12EmptyPassword empty,
                             Pkcs12PasswordForms& forms) {
    forms.count = 0;
    if (password == nullptr) return false;
    const size_t length = std::strlen(password);
    if (!Pkcs12PasswordFromUtf8(reinterpret_cast<const uint8_t*>(password), length, forms.bmp))
        return false;
    const DerBlob bmp{forms.bmp.size(), forms.bmp.data()};
    const DerBlob none{0, nullptr};
    if (length != 0 || empty == Pkcs12EmptyPassword::kTerminator) {
        forms.form[forms.count++] = bmp;
    } else if (empty == Pkcs12EmptyPassword::kNoOctets) {
        forms.form[forms.count++] = none;
    } else {
        // Most writers derive with the terminator alone; some with no octets at all.
        forms.form[forms.count++] = bmp;
        forms.form[forms.count++] = none;
    }
    return true;
}

uint32_t Pkcs12PasswordFormCount(const char* password, Pkcs12EmptyPassword empty) {
    return password != nullptr && password[0] == '\0' && empty == Pkcs12EmptyPassword::kUndecided
               ? 2
               : 1;
}

bool ReadPkcs12Protection(DerBlob algorithm, Pkcs12Protection* protection, OidText* unsupported) {
    if (unsupported != nullptr) unsupported->Clear();
    Pkcs12Protection p;
    DerCursor cursor = DerCursorOver(algorithm);
    OidText oid;
    DerBlob params;
    if (!DerReadOid(cursor, oid)) return false;
    if (oid.Equals(kOidPbes2)) {
        if (!DerReadExact(cursor, kDerSequence, &params) ||
            !ReadPbes2(params, algorithm, &p, unsupported))
            return false;
        // GOST PBES2 keeps its own rules (Pbes2ParametersValid): they ignore what follows.
        if (p.kind != Pkcs12Protection::Kind::kGostPbes2 && !DerAtEnd(cursor)) return false;
    } else {
        p.kind = Pkcs12Protection::Kind::kPkcs12Pbe;
        p.cipher = FindRow(kPkcs12Pbes, oid);
        if (p.cipher == nullptr) return Unsupported(unsupported, oid);
        // pkcs-12PbeParams ::= SEQUENCE { salt OCTET STRING, iterations INTEGER }
        if (!DerReadCounted(cursor, kDerSequence, &params, 2, 2) || !DerAtEnd(cursor)) return false;
        DerCursor paramsCursor = DerCursorOver(params);
        if (!DerReadExact(paramsCursor, kDerOctetString, &p.salt) ||
            !DerReadUnsigned64(paramsCursor, &p.iterations))
            return false;
    }
    *protection = p;
    return true;
}

uint64_t Pkcs12ProtectionWork(const Pkcs12Protection& p, uint32_t forms) {
    const uint64_t iterations = p.iterations == 0 ? 1 : p.iterations;
    switch (p.kind) {
        case Pkcs12Protection::Kind::kGostPbes2:
            return iterations;
        case Pkcs12Protection::Kind::kPbes2:
            return iterations * Blocks(p.cipher->keyLength, ShaDigestSize(p.prf));
        case Pkcs12Protection::Kind::kPkcs12Pbe:
            // The key, then the 8-octet IV, each its own derivation.
            return iterations * forms * (Blocks(p.cipher->keyLength, 20) + 1);
    }
    return iterations;
}

bool DecryptPkcs12Content(DerBlob algorithm, DerBlob encrypted, Pkcs12ReadState& state,
                          SecureBlob& plain, uint32_t* plainLength) {
    Pkcs12Protection p;
    if (state.password == nullptr || !ReadPkcs12Protection(algorithm, &p, &state.unsupported)) {
        if (!state.unsupported.empty()) state.failure = Pkcs12Failure::kUnsupportedAlgorithm;
        return false;
    }
    if (p.iterations > kMaxPbkdf2Iterations) return false;
    const uint64_t iterations = p.iterations == 0 ? 1 : p.iterations;
    SecureArray<32> key;
    switch (p.kind) {
        case Pkcs12Protection::Kind::kGostPbes2:
            if (!plain.Assign(encrypted.data, encrypted.length) ||
                !Pbes2Decrypt(algorithm, state.password, plain.data(), plain.size()))
                return false;
            *plainLength = plain.size();
            return true;
        case Pkcs12Protection::Kind::kPbes2: {
            CountPkcs12Derivation();
            const auto* password = reinterpret_cast<const uint8_t*>(state.password);
            return ShaPbkdf2(p.prf, password, std::strlen(state.password), p.salt.data,
                             p.salt.length, iterations, key.data(), p.cipher->keyLength) &&
                   CbcDecryptPadded(*p.cipher, key.data(), p.iv.data, encrypted, plain,
                                    plainLength);
        }
        case Pkcs12Protection::Kind::kPkcs12Pbe:
            break;
    }
    Pkcs12PasswordForms forms;
    if (!MakePkcs12PasswordForms(state.password, state.emptyPassword, forms)) return false;
    SecureArray<kDesBlockSize> iv;
    for (uint32_t i = 0; i < forms.count; ++i) {
        CountPkcs12Derivation();
        const DerBlob& password = forms.form[i];
        if (!Pkcs12DeriveKey(ShaAlgorithm::kSha1, password.data, password.length, p.salt.data,
                             p.salt.length, kPkcs12IdKey, iterations, key.data(),
                             p.cipher->keyLength) ||
            !Pkcs12DeriveKey(ShaAlgorithm::kSha1, password.data, password.length, p.salt.data,
                             p.salt.length, kPkcs12IdIv, iterations, iv.data(), iv.size()))
            return false;
        if (CbcDecryptPadded(*p.cipher, key.data(), iv.data(), encrypted, plain, plainLength))
            return true;
    }
    return false;
}

}  // namespace keymend

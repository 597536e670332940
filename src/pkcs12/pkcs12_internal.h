// Inside the PKCS#12 reader: what its parts share, and the parts the tests drive one by one.
#pragma once

#include <cstdint>
#include <vector>

#include "asn1/der_strict.h"
#include "crypto/sha/sha.h"
#include "pkcs12/pkcs12.h"

namespace keymend {

// Optional AlgorithmIdentifier parameters of the GOST HMACs and digests: absent, NULL, or the
// OID of the GOST R 34.11-94 hash parameter set. Anything else fails. The cursor must hold
// nothing after them.
inline bool ReadGostHashParameters(DerCursor& cursor) {
    if (cursor.remaining == 0) return true;
    uint32_t tag = 0, classBits = 0;
    if (!DerPeekIdentifier(cursor, &tag, &classBits) || classBits != 0) return false;
    if (tag == kDerNull) {
        DerBlob content;
        return DerReadExact(cursor, kDerNull, &content) && content.length == 0 &&
               cursor.remaining == 0;
    }
    return tag == kDerObjectIdentifier && DerReadOidEquals(cursor, "1.2.643.2.2.30.1") &&
           cursor.remaining == 0;
}

// Which octets stand for the empty password in the RFC 7292 appendix B derivation: the BMPString
// terminator 00 00 (what most writers use), or no octets at all (what some others use).
enum class Pkcs12EmptyPassword : uint8_t { kUndecided, kTerminator, kNoOctets };

// Working state of one read, handed down to every layer.
struct Pkcs12ReadState {
    const char* password = nullptr;  // NUL-terminated UTF-8
    Pkcs12KeySink* sink = nullptr;
    // Certificate candidates in file order (copies of their DER encodings).
    std::vector<SecureBlob> certificates;
    uint32_t bags = 0;  // safe bags read from encrypted safes (and multi-bag data safes) so far
    Pkcs12Failure failure = Pkcs12Failure::kNone;
    // A file protected with standard algorithms only (no GOST MAC or PBES2 anywhere): its data
    // safes may hold several certificate bags, or one plain key bag.
    bool standard = false;
    // Set by the MAC when it verified under one form of the empty password; the PBEs then use
    // that form only.
    Pkcs12EmptyPassword emptyPassword = Pkcs12EmptyPassword::kUndecided;
    OidText unsupported;  // with kUnsupportedAlgorithm: the algorithm OID met
};

// The password octets for the RFC 7292 appendix B derivation, in the order to try them: the
// BMPString with its terminator, then (for the empty password while the form is undecided) no
// octets. False when the password is not strict UTF-8 or memory is refused.
struct Pkcs12PasswordForms {
    SecureBlob bmp;
    uint32_t count = 0;
    DerBlob form[2];
};
bool MakePkcs12PasswordForms(const char* password, Pkcs12EmptyPassword empty,
                             Pkcs12PasswordForms& forms);
// How many forms MakePkcs12PasswordForms gives, without making them.
uint32_t Pkcs12PasswordFormCount(const char* password, Pkcs12EmptyPassword empty);

// The layers below take the content octets of the element named (identifier and length already
// stripped) and return true on success.

// Adds to *iterations what reading the SEQUENCE OF ContentInfo `safes` will cost: the PBKDF2
// iterations of every encrypted safe and of every shrouded key bag of a data safe (0 counts as
// 1), without deriving anything. Fails with *failure = kTooMuchWork when there are more
// ContentInfos than allowed or a derivation asks for more iterations than allowed, and with
// kRejected on a structure that the full read would refuse as well.
// With `standard`, data safes are surveyed in the shapes ReadDataSafe accepts for standard
// files; `forms` is the number of empty-password forms a RFC 7292 PBE may be tried under. An
// algorithm the reader does not support fails with kUnsupportedAlgorithm and its OID in
// *unsupported.
bool AddSafesWork(DerBlob safes, uint64_t* iterations, Pkcs12Failure* failure,
                  bool standard = false, uint32_t forms = 1, OidText* unsupported = nullptr);
// True when some encrypted safe or shrouded key of `safes` is protected by GOST PBES2 (what
// cannot be parsed is passed over: the survey refuses it).
bool SafesUseGostProtection(DerBlob safes);

// ContentInfo SEQUENCE content: dispatches data to ReadDataSafe and encryptedData to
// ReadEncryptedSafe (with the content of [0]); other types fail.
bool ReadContentInfo(DerBlob contentInfo, Pkcs12ReadState& state);
bool ReadDataSafe(DerBlob content, Pkcs12ReadState& state);
bool ReadEncryptedSafe(DerBlob content, Pkcs12ReadState& state);
// certBag bagValue ([0] content): appends the certificate to state.certificates.
bool ReadCertBag(DerBlob bagValue, Pkcs12ReadState& state);
// pkcs8ShroudedKeyBag bagValue ([0] content): decrypts the key and stores it.
bool ReadShroudedKeyBag(DerBlob bagValue, Pkcs12ReadState& state);

// The protection of an encrypted safe or a shrouded key, by its AlgorithmIdentifier: GOST PBES2
// (Pbes2Decrypt), PBES2 with PBKDF2 over HMAC-SHA and a CBC cipher, or a RFC 7292 PBE.
struct Pkcs12Cipher;
struct Pkcs12Protection {
    enum class Kind : uint8_t { kGostPbes2, kPbes2, kPkcs12Pbe };
    Kind kind = Kind::kGostPbes2;
    DerBlob salt, iv;  // iv: PBES2 only
    uint64_t iterations = 0;
    ShaAlgorithm prf = ShaAlgorithm::kSha1;  // PBKDF2's HMAC; SHA-1 for the RFC 7292 PBEs
    const Pkcs12Cipher* cipher = nullptr;    // not for GOST PBES2
};
// Parses the AlgorithmIdentifier (SEQUENCE content) completely; false on any deviation. An
// algorithm outside the tables (PBE, key derivation, pseudo-random function or cipher) also
// fails and leaves its OID in *unsupported (left empty otherwise).
bool ReadPkcs12Protection(DerBlob algorithm, Pkcs12Protection* protection, OidText* unsupported);
// PBKDF2 or appendix B iterations that one decryption costs under `forms` password forms (a
// count of 0 costs one iteration).
uint64_t Pkcs12ProtectionWork(const Pkcs12Protection& protection, uint32_t forms);
// Decrypts `encrypted` under its AlgorithmIdentifier into `plain`: for CBC ciphers the PKCS#7
// padding is checked and *plainLength excludes it; GOST PBES2 keeps the whole length. A RFC 7292
// PBE with the empty password undecided tries the forms in turn until the padding checks.
bool DecryptPkcs12Content(DerBlob algorithm, DerBlob encrypted, Pkcs12ReadState& state,
                          SecureBlob& plain, uint32_t* plainLength);

// Decrypts data in place (CFB, no padding removed) under the PBES2 AlgorithmIdentifier whose
// SEQUENCE content is `algorithm`. Key meshing follows KeyMeshingSwitch(). Fails, deriving
// nothing, when the iteration count is above kMaxPbkdf2Iterations.
bool Pbes2Decrypt(DerBlob algorithm, const char* password, uint8_t* data, uint32_t length);

// True when the GOST PBES2 AlgorithmIdentifier (SEQUENCE content) passes every check of
// Pbes2Decrypt.
bool Pbes2ParametersValid(DerBlob algorithm);
// Counts one key derivation of the reader (see Pkcs12DerivationCount).
void CountPkcs12Derivation();

// One 32-octet PBKDF2 block for the reader (the MAC key or a PBES2 key). Every call is counted.
bool Pkcs12DeriveKey(uint8_t* key32, uint32_t prfSelector, const char* password, DerBlob salt,
                     uint64_t iterations, uint32_t blockIndex);
// Key derivations the reader has run in this process, so far.
uint64_t Pkcs12DerivationCount();

// Reads the PrivateKeyInfo at the start of `plaintext` (trailing octets ignored: version 0 or
// 1, the algorithm with its curve and optional digest, the privateKey OCTET STRING) and hands
// it to the sink.
bool StorePrivateKey(DerBlob plaintext, Pkcs12ReadState& state);

// Picks the certificate of the stored key among state.certificates (see ReadPkcs12) and copies
// it into `certificate`; true without one when there are no candidates.
bool ChoosePkcs12Certificate(Pkcs12ReadState& state, SecureBlob& certificate);

// The digests a MAC may name, and how each is verified.
struct Pkcs12MacAlgorithm {
    const char* digestOid;
    uint32_t prfSelector;  // GOST: PBKDF2 pseudo-random function (hash.h)
    uint32_t blockIndex;   // GOST: the PBKDF2 block that holds octets 64..95 of the stream
    uint32_t hmacId;       // GOST: the HMAC
    uint32_t macLength;
    bool sha = false;  // a SHA digest: RFC 7292 appendix B MAC key and HMAC over `hash`
    ShaAlgorithm hash = ShaAlgorithm::kSha1;
};

// MacData (SEQUENCE content), parsed.
struct Pkcs12MacParameters {
    const Pkcs12MacAlgorithm* algorithm = nullptr;
    DerBlob digest, salt;
    uint64_t iterations = 0;
    OidText unsupported;  // the digest OID when it alone made the parse fail
};

// Parses MacData; fails on a digest algorithm the reader cannot verify.
bool ReadPkcs12MacData(DerBlob macData, Pkcs12MacParameters* mac);

// Verifies a parsed MAC over macInput. GOST: the MAC key is 32 octets, octets 64..95 of the
// PBKDF2 output stream, and the MAC is the HMAC of the digest's family. SHA: the MAC key comes
// from RFC 7292 appendix B (ID 3), tried under each password form (see Pkcs12PasswordForms);
// *verified, when given, receives the form of the empty password that verified.
bool VerifyPkcs12Mac(const Pkcs12MacParameters& mac, DerBlob macInput, const char* password,
                     Pkcs12EmptyPassword* verified = nullptr);

}  // namespace keymend

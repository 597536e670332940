// Inside the PKCS#12 reader: what its parts share, and the parts the tests drive one by one.
#pragma once

#include <cstdint>
#include <vector>

#include "asn1/der_strict.h"
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

// Working state of one read, handed down to every layer.
struct Pkcs12ReadState {
    const char* password = nullptr;  // NUL-terminated UTF-8
    Pkcs12KeySink* sink = nullptr;
    // Certificate candidates in file order (copies of their DER encodings).
    std::vector<SecureBlob> certificates;
    uint32_t bags = 0;  // safe bags read from encrypted safes so far
    Pkcs12Failure failure = Pkcs12Failure::kNone;
};

// The layers below take the content octets of the element named (identifier and length already
// stripped) and return true on success.

// Adds to *iterations what reading the SEQUENCE OF ContentInfo `safes` will cost: the PBKDF2
// iterations of every encrypted safe and of every shrouded key bag of a data safe (0 counts as
// 1), without deriving anything. Fails with *failure = kTooMuchWork when there are more
// ContentInfos than allowed or a derivation asks for more iterations than allowed, and with
// kRejected on a structure that the full read would refuse as well.
bool AddSafesWork(DerBlob safes, uint64_t* iterations, Pkcs12Failure* failure);

// ContentInfo SEQUENCE content: dispatches data to ReadDataSafe and encryptedData to
// ReadEncryptedSafe (with the content of [0]); other types fail.
bool ReadContentInfo(DerBlob contentInfo, Pkcs12ReadState& state);
bool ReadDataSafe(DerBlob content, Pkcs12ReadState& state);
bool ReadEncryptedSafe(DerBlob content, Pkcs12ReadState& state);
// certBag bagValue ([0] content): appends the certificate to state.certificates.
bool ReadCertBag(DerBlob bagValue, Pkcs12ReadState& state);
// pkcs8ShroudedKeyBag bagValue ([0] content): decrypts the key and stores it.
bool ReadShroudedKeyBag(DerBlob bagValue, Pkcs12ReadState& state);

// Decrypts data in place (CFB, no padding removed) under the PBES2 AlgorithmIdentifier whose
// SEQUENCE content is `algorithm`. Key meshing follows KeyMeshingSwitch(). Fails, deriving
// nothing, when the iteration count is above kMaxPbkdf2Iterations.
bool Pbes2Decrypt(DerBlob algorithm, const char* password, uint8_t* data, uint32_t length);

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
    uint32_t prfSelector;  // PBKDF2 pseudo-random function (hash.h)
    uint32_t blockIndex;   // the PBKDF2 block that holds octets 64..95 of the derived stream
    uint32_t hmacId;
    uint32_t macLength;
};

// MacData (SEQUENCE content), parsed.
struct Pkcs12MacParameters {
    const Pkcs12MacAlgorithm* algorithm = nullptr;
    DerBlob digest, salt;
    uint64_t iterations = 0;
};

// Parses MacData; fails on a digest algorithm the reader cannot verify.
bool ReadPkcs12MacData(DerBlob macData, Pkcs12MacParameters* mac);

// Verifies a parsed MAC over macInput: the MAC key is 32 octets, octets 64..95 of the PBKDF2
// output stream, and the MAC is the HMAC of the digest's family.
bool VerifyPkcs12Mac(const Pkcs12MacParameters& mac, DerBlob macInput, const char* password);

}  // namespace keymend
